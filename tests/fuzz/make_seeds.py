#!/usr/bin/env python3
"""make_seeds.py - writes the seed corpus of the fuzz targets.

Each seed is a named input laid out as its target reads it (see the comment
at the top of each fuzz_*.cpp).  The seeds cover the ordinary cases and the
hostile values each target is about; libFuzzer grows the corpus from them.
Run from anywhere: python3 tests/fuzz/make_seeds.py
"""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
NAN = float("nan")
INF = float("inf")
TSC_SLOPE_3GHZ = 1.0 / 3000.0           # microseconds per tick
INTERCEPT_2023 = 1700000000 * 1000000   # microseconds at tick 0


def d(x):
    return struct.pack("<d", x)


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ---- fuzz_format: flags, buflen, time bits, prefix --------------------------
USE_NTP, NULL_BUFFER, NULL_PREFIX, RAW_BUFLEN = 1, 2, 4, 8


def format_seed(name, flags, buflen, bits, prefix):
    write("fuzz_format", name, bytes([flags]) + struct.pack("<i", buflen) + bits + prefix)


def time_bits(t):
    return d(t)


def ntp_bits(v):
    return struct.pack("<Q", v)


format_seed("half_second", 0, 64, time_bits(0.5), b"T=")
format_seed("2009", 0, 64, time_bits(1234567890.25), b"")
format_seed("2009_ntp", USE_NTP, 64, ntp_bits(0x499602D240000000), b"")
format_seed("ntp_1.5", USE_NTP, 64, ntp_bits(0x0000000180000000), b"at ")
format_seed("ntp_last_second", USE_NTP, 64, ntp_bits(0xFFFFFFFFFFFFFFFF), b"x")
format_seed("rounds_to_60", 0, 64, time_bits(59.9999996), b"")
format_seed("doubled_percent", 0, 64, time_bits(1.0), b"100%% at ")
format_seed("conversions", 0, 128, time_bits(1e9), b"%s%n%d%%%p%")
format_seed("lone_percent_at_end", 0, 16, time_bits(1e9), b"abc%")
format_seed("buflen_0", 0, 0, time_bits(1e9), b"prefix")
format_seed("buflen_1", 0, 1, time_bits(1e9), b"prefix")
format_seed("cut_in_prefix", 0, 4, time_bits(1e9), b"prefix")
format_seed("cut_in_date", 0, 12, time_bits(1e9), b"p ")
format_seed("negative_buflen", RAW_BUFLEN, -5, time_bits(1e9), b"p")
format_seed("null_buffer", NULL_BUFFER, 0, time_bits(1e9), b"p")
format_seed("nan", 0, 64, time_bits(NAN), b"p")
format_seed("minus_inf", 0, 64, time_bits(-INF), b"p")
format_seed("inf", 0, 64, time_bits(INF), b"p")
format_seed("zero", 0, 64, time_bits(0.0), b"p")
format_seed("minus_zero", 0, 64, time_bits(-0.0), b"p")
format_seed("denormal", 0, 64, time_bits(5e-324), b"p")
format_seed("2038", 0, 64, time_bits(2147483648.5), b"")
format_seed("2106", 0, 64, time_bits(4294967296.0), b"")
format_seed("two_pow_63", 0, 64, time_bits(2.0 ** 63), b"")
format_seed("huge", 0, 64, time_bits(1e300), b"")
format_seed("null_prefix_with_date", NULL_PREFIX, 64, time_bits(1e9), b"")
format_seed("long_prefix", 0, 300, time_bits(1e9), b"%%" * 100 + b"x" * 200)

# ---- fuzz_numeric: slope, intercept, idx, period, rate; d1 d2 d3 count rate -


def numeric_seed(name, slope=TSC_SLOPE_3GHZ, intercept=INTERCEPT_2023, idx=0, period=1.0 / 3e9,
                 tsc_rate=3000000000, d1=1.0, d2=-0.1, d3=0.1, count=1 << 40, rate=60):
    write("fuzz_numeric", name,
          d(slope) + struct.pack("<qi", intercept, idx) + d(period) + struct.pack("<Q", tsc_rate)
          + d(d1) + d(d2) + d(d3) + struct.pack("<QI", count, rate))


numeric_seed("ordinary")
numeric_seed("rate_0", rate=0)
numeric_seed("rate_max", rate=0xFFFFFFFF)
numeric_seed("count_max", count=0xFFFFFFFFFFFFFFFF)
numeric_seed("count_2_pow_53", count=1 << 53)
numeric_seed("count_0", count=0)
numeric_seed("frame_round_trip_near_2_pow_53", count=8514619105990759, rate=402653184)
numeric_seed("nan_args", d1=NAN, d2=NAN, d3=NAN)
numeric_seed("inf_args", d1=INF, d2=-INF, d3=INF)
numeric_seed("minus_inf_time", d1=-INF)
numeric_seed("negative_args", d1=-1.0, d2=-3.0, d3=-0.2)
numeric_seed("minus_zero", d1=-0.0)
numeric_seed("denormal", d1=5e-324, d2=-5e-324, d3=5e-324)
numeric_seed("huge", d1=1.7e308, d2=-1e308, d3=1.7e308)
numeric_seed("two_pow_64_span", d1=2.0 ** 64 / 3e9)
numeric_seed("ntp_limit", d1=4294967296.0)
numeric_seed("just_below_ntp_limit", d1=math.nextafter(4294967296.0, 0))
numeric_seed("slope_0", slope=0.0)
numeric_seed("slope_negative", slope=-TSC_SLOPE_3GHZ)
numeric_seed("slope_nan", slope=NAN)
numeric_seed("slope_inf", slope=INF)
numeric_seed("intercept_min", intercept=-(1 << 63))
numeric_seed("intercept_max", intercept=(1 << 63) - 1)
numeric_seed("idx_minus_1", idx=-1)
numeric_seed("idx_1023", idx=1023)
numeric_seed("idx_far", idx=5000)
numeric_seed("idx_min", idx=-(1 << 31))
numeric_seed("period_0", slope=0.0, period=0.0)
numeric_seed("period_negative", slope=0.0, period=-1e-9)
numeric_seed("period_nan", slope=0.0, period=NAN)
numeric_seed("tsc_rate_0", tsc_rate=0)
numeric_seed("tsc_rate_max", tsc_rate=0xFFFFFFFFFFFFFFFF)

# ---- fuzz_shared_area: header, 2 records, fill, mode, size, args, header 2 -
WRONG_SIZE, SEEN_BEFORE, SECOND_ROUND, ANCIENT_SEEN = 1, 2, 4, 8


def header(activity=5, updates=0, stepcount=0, idx=0, valid_idx=0, gap=0):
    return struct.pack("<iiiiii", activity, updates, stepcount, idx, valid_idx, gap)


def record(slope=TSC_SLOPE_3GHZ, intercept=INTERCEPT_2023):
    return d(slope) + struct.pack("<q", intercept)


def area_seed(name, first=None, records=None, fill=0, mode=0, size=16408, second=None,
              ticks=1 << 40, rate=60, frame=0, span=0.25):
    first = first if first is not None else header()
    records = records if records is not None else record() + record()
    second = second if second is not None else header()
    write("fuzz_shared_area", name,
          first + records + bytes([fill, mode]) + struct.pack("<q", size)
          + struct.pack("<QIQ", ticks, rate, frame) + d(span) + second)


area_seed("live")
area_seed("cleared", first=header(activity=0), records=bytes(32))
area_seed("calibrating", first=header(activity=0, idx=-1, valid_idx=-1))
area_seed("idx_1023_wraps", first=header(idx=1023, valid_idx=3))
area_seed("idx_past_ring", first=header(idx=1024, valid_idx=1024))
area_seed("idx_huge", first=header(idx=0x7FFFFFFF, valid_idx=-0x80000000))
area_seed("idx_min", first=header(idx=-0x80000000))
area_seed("fill_ff", fill=0xFF)
area_seed("fill_7f", fill=0x7F, first=header(idx=700, valid_idx=710))
area_seed("slope_nan", records=record(slope=NAN) * 2)
area_seed("slope_inf", records=record(slope=INF) * 2)
area_seed("slope_zero_intercept_zero", records=record(0.0, 0) * 2)
area_seed("slope_negative", records=record(-1.0, 0) * 2)
area_seed("intercept_min", records=record(intercept=-(1 << 63)) * 2)
area_seed("stale_heartbeat", mode=SEEN_BEFORE)
area_seed("wrong_size_4096", mode=WRONG_SIZE, size=4096)
area_seed("wrong_size_0", mode=WRONG_SIZE, size=0)
area_seed("wrong_size_negative", mode=WRONG_SIZE, size=-1)
area_seed("wrong_size_one_more", mode=WRONG_SIZE, size=16409)
area_seed("wrong_size_huge", mode=WRONG_SIZE, size=(1 << 63) - 1)
area_seed("restarted_owner", mode=SECOND_ROUND, second=header(activity=0, idx=-1, valid_idx=-1))
area_seed("writer_gone_wrong", mode=SECOND_ROUND | ANCIENT_SEEN, second=header(activity=5, idx=4000))
area_seed("args_hostile", ticks=0xFFFFFFFFFFFFFFFF, rate=0xFFFFFFFF, frame=0xFFFFFFFFFFFFFFFF, span=NAN)
area_seed("args_rate_0", rate=0, frame=7, span=-INF)
