// fuzz_numeric - every entry point and helper that takes a double, a tick
// count, a frame number or a frame rate, with arbitrary bit patterns, under
// an arbitrary calibration record of the process's own context.
//
// Input: the record (slope bits, intercept, idx), the start-up TSC period
// (bits) and rate, then the arguments: three doubles, a 64-bit count and a
// frame rate.  The sanitizers are the main oracle (every double-to-integer
// conversion must stay defined); on top of that each call must keep the
// promises that hold whatever the calibration:
//   - clock readings are positive, never NaN: the calibrated time when it is
//     positive, the OS time otherwise;
//   - a frame rate of 0 gives 0; the frame helpers round-trip to within one
//     frame either way; the end of frame f is the start of frame f + 1;
//   - NTP timestamps keep the whole seconds in their high half and saturate
//     from 2^32 s on;
//   - sleeps: at most one call of the host's sleep, for a positive span,
//     within the jitter's bounds.
#include <cmath>
#include <cstring>
#include <limits>

#include "tests/fuzz/fuzz_input.h"
#include "tests/support/component_state.h"
#include "tests/support/recording_base.h"
#include "time/sleeping.h"
#include "time/yaltime_entry.h"

namespace {

struct arguments {
    double d1, d2, d3;
    uint64_t count;
    unsigned int rate;
};

void set_up_calibration(fuzz::input &in)
{
    const double slope = in.bits_as_double();
    const int64_t intercept = in.take<int64_t>();
    const int32_t idx = in.take<int32_t>();
    const double period = in.bits_as_double();
    const YALTIME_TSC_T rate = in.take<uint64_t>();

    component_state::reset(rate);
    TSC_period.store(period);
    Calibration_local_only.store(true);
    const int32_t slot = calib::index_in_ring(idx) ? idx : 0;
    Thread_calibration.calib_table[slot] = {slope, intercept};
    Thread_calibration.idx = idx;
    Thread_calibration.valid_idx = idx;
}

bool os_bracket_holds(double before, double reading, double after) { return reading >= before && reading <= after; }

void check_frame_helpers(const arguments &a)
{
    const YALTIME_FRAME_T frame = yaltime_secs_to_frame(a.d1, a.rate);
    if (a.rate == 0 || !(a.d1 > 0))
        FUZZ_REQUIRE(frame == 0);
    if (std::isfinite(a.d1))
        FUZZ_REQUIRE(frame <= yaltime_secs_to_frame(std::nextafter(a.d1, INFINITY), a.rate));

    const YALTIME_SEC_T secs = yaltime_frame_to_secs(a.count, a.rate);
    if (a.rate == 0 || a.count == 0) {
        FUZZ_REQUIRE(secs == 0.0);
    } else {
        FUZZ_REQUIRE(secs > 0 && std::isfinite(secs));
        // Below 2^53 frames the quotient and the product each round by half
        // an ulp, so the round trip lands on the frame or on a neighbour.
        if (a.count < (1ull << 53)) {
            const YALTIME_FRAME_T back = yaltime_secs_to_frame(secs, a.rate);
            FUZZ_REQUIRE(back + 1 >= a.count && back <= a.count + 1);
        }
    }
}

void check_ntp_helper(double time)
{
    const YALTIME_NTP_T ntp = yaltime_secs_to_ntp(time);
    if (!(time > 0))
        FUZZ_REQUIRE(ntp == 0);
    else if (time < 4294967296.0)
        FUZZ_REQUIRE((ntp >> 32) == static_cast<uint64_t>(std::floor(time)));
    else
        FUZZ_REQUIRE(ntp == UINT64_MAX);
}

void check_clock_readings(const arguments &a)
{
    const double calibrated = calib_tsc_to_secs(&Thread_calibration, a.count);
    const double before = os_gettime();
    const double at_ticks = func_YALTIME_TSC_TO_NOW(a.count);
    const double after = os_gettime();
    FUZZ_REQUIRE(at_ticks > 0);
    if (calibrated > 0)
        FUZZ_REQUIRE(at_ticks == calibrated);
    else
        FUZZ_REQUIRE(os_bracket_holds(before, at_ticks, after));

    FUZZ_REQUIRE(func_YALTIME_NOW() > 0);
    (void)func_YALTIME_GETTIME();
    (void)func_YALTIME_GET_CURRENT_USEC();
    (void)func_YALTIME_NOW_NTP();
    FUZZ_REQUIRE(!std::isnan(func_YALTIME_GET_CLOCK_ERROR()));
}

void check_frames(const arguments &a)
{
    const YALTIME_FRAME_T now_frame = func_YALTIME_NOW_FRAME(a.rate);
    const YALTIME_TSC_T start = func_YALTIME_FRAME_START(a.count, a.rate);
    const YALTIME_TSC_T end = func_YALTIME_FRAME_END(a.count, a.rate);
    if (a.rate == 0) {
        FUZZ_REQUIRE(now_frame == 0 && start == 0 && end == 0);
        return;
    }
    if (a.count != 0 && a.count + 1 != 0)
        FUZZ_REQUIRE(end == func_YALTIME_FRAME_START(a.count + 1, a.rate));
}

void check_spans(const arguments &a)
{
    const double period = func_YALTIME_GET_TSC_PERIOD();
    (void)func_YALTIME_GET_TSC_FREQUENCY();
    (void)func_YALTIME_TSC_TO_SECS(a.count);
    const YALTIME_TSC_T ticks = func_YALTIME_SECS_TO_TSC(a.d1);
    if (period > 0 && !(a.d1 > 0))
        FUZZ_REQUIRE(ticks == 0);

    const YALTIME_TSC_T before = rdtsc();
    const YALTIME_TSC_T deadline = func_YALTIME_START(a.d1);
    const YALTIME_TSC_T after = rdtsc();
    if (period > 0 && !(a.d1 > 0))
        FUZZ_REQUIRE(deadline >= before && deadline <= after);

    const uint64_t back = calib_secs_to_tsc(&Thread_calibration, a.d2);
    if (!calib::index_in_ring(Thread_calibration.idx))
        FUZZ_REQUIRE(back == 0 && calib_period(&Thread_calibration) == 0.0);
}

void check_sleeps(const arguments &a)
{
    recording_base::sleeps.clear();
    func_YALTIME_SLEEP_UNTIL(a.d1);
    FUZZ_REQUIRE(recording_base::sleeps.size() <= 1);
    if (std::isnan(a.d1))
        FUZZ_REQUIRE(recording_base::sleeps.empty());
    for (double s : recording_base::sleeps)
        FUZZ_REQUIRE(s > 0);

    recording_base::sleeps.clear();
    func_YALTIME_SLEEP_JITTER(a.d1, a.d2, a.d3);
    FUZZ_REQUIRE(recording_base::sleeps.size() <= 1);
    for (double s : recording_base::sleeps)
        FUZZ_REQUIRE(s > 0);
    const double t = a.d1;
    const double neg = std::isnan(a.d2) ? 0.0 : std::fmax(-0.95, std::fmin(a.d2, 0.0));
    const double pos = std::isnan(a.d3) ? 0.0 : std::fmax(a.d3, 0.0);
    const double lo = (1 + neg) * t, hi = (1 + pos) * t;
    if (t > 0 && std::isfinite(hi) && !recording_base::sleeps.empty()) {
        const double slack = 1e-12 * hi;
        FUZZ_REQUIRE(recording_base::sleeps[0] >= lo - slack && recording_base::sleeps[0] <= hi + slack);
    }
    if (t > 0 && std::isfinite(hi))
        FUZZ_REQUIRE(recording_base::sleeps.size() == 1 || lo == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    recording_base::install();
    fuzz::input in(data, size);
    set_up_calibration(in);
    arguments a;
    a.d1 = in.bits_as_double();
    a.d2 = in.bits_as_double();
    a.d3 = in.bits_as_double();
    a.count = in.take<uint64_t>();
    a.rate = in.take<uint32_t>();

    check_frame_helpers(a);
    check_ntp_helper(a.d1);
    check_clock_readings(a);
    check_frames(a);
    check_spans(a);
    check_sleeps(a);
    return 0;
}
