// The discipline's parts on their own: what one reading shows the estimate,
// and the records it writes from a line.  The whole discipline over hours of
// simulated disturbances is the sweep's (disturbance_test.cpp).
#include <gtest/gtest.h>

#include <cmath>

#include "time/tsc_discipline.h"

namespace {

using tsci2::clock_reading;

constexpr uint64 TSC0 = 1000000000000ull; // a 1 GHz TSC: one tick a nanosecond
constexpr int64 RT0_NS = 1700000000123456789;
constexpr int64 MONO0_NS = 5000000000000;
constexpr int64 SEC_NS = 1000000000;

// A reading `after_s` seconds after the first, `width` ticks wide, the OS
// clocks moved on by what the case says; with a raw clock, it stays on the ticks.
clock_reading reading(double after_s, int64 realtime_extra_ns, int64 mono_extra_ns, int64 tsc_extra, uint64 width,
                      bool raw = false)
{
    const auto elapsed = static_cast<int64>(after_s * 1e9);
    const uint64 begin = TSC0 + static_cast<uint64>(elapsed + tsc_extra) - width / 2;
    return {begin, RT0_NS + elapsed + realtime_extra_ns, MONO0_NS + elapsed + mono_extra_ns, begin + width,
            MONO0_NS + elapsed, begin + width, raw};
}

TEST(DisciplineReading, WhatOneReadingShows)
{
    struct {
        const char *what;
        int64 realtime_extra_ns, mono_extra_ns, tsc_extra;
        uint64 width;
        tsci2::reading_verdict verdict;
        int64 os_step_ns;
        double rate; // ns per tick the line has after it (0: not checked)
        bool raw = false;
    } cases[] = {
        // With a raw clock a daemon's slew of both OS clocks is a new rate,
        // however fast; the TSC disagreeing with the raw clock is a jump.
        {"raw: both OS clocks 83 ms on", 83333000, 83333000, 0, 0, tsci2::READING_IN_STEP, 0, 1.083333, true},
        {"raw: both OS clocks 500 us back", -500000, -500000, 0, 0, tsci2::READING_IN_STEP, 0, 0.9995, true},
        {"raw: the TSC jumped 100 us", 0, 0, 100000, 0, tsci2::READING_TSC_JUMP, 0, 1.0, true},
        {"raw: real-time stepped 6 us", 6000, 0, 0, 0, tsci2::READING_OS_STEP, 6000, 1.0, true},
        // Without one, the monotonic clock is the TSC's only witness.
        {"no raw: both OS clocks 83 ms on", 83333000, 83333000, 0, 0, tsci2::READING_TSC_JUMP, 0, 1.0},
        {"on the line", 0, 0, 0, 0, tsci2::READING_IN_STEP, 0, 1.0},
        {"both OS clocks 2 us on: a new rate", 2000, 2000, 0, 0, tsci2::READING_IN_STEP, 0, 1.000002},
        {"real-time stepped 6 us", 6000, 0, 0, 0, tsci2::READING_OS_STEP, 6000, 1.0},
        {"real-time stepped back a day", -86400 * SEC_NS, 0, 0, 0, tsci2::READING_OS_STEP, -86400 * SEC_NS, 1.0},
        {"real-time moved 4 us: within the readings' noise, a phase", 4000, 0, 0, 400, tsci2::READING_IN_STEP, 0, 0},
        {"the TSC jumped a second", 0, 0, SEC_NS, 0, tsci2::READING_TSC_JUMP, 0, 1.0},
        {"the TSC jumped back 100 us", 0, 0, -100000, 0, tsci2::READING_TSC_JUMP, 0, 1.0},
        {"preempted: 50.1 us wide", 3600 * SEC_NS, 0, 0, 50100, tsci2::READING_UNTRUSTED, 0, 0},
        {"the TSC went back inside it", 0, 0, 0, static_cast<uint64>(-10), tsci2::READING_UNTRUSTED, 0, 0},
    };
    for (const auto &c : cases) {
        tsci2::phase_estimate e;
        e.start(reading(0, 0, 0, 0, 0, c.raw), 0.001);
        int64 os_step_ns = 99;
        if (c.raw) { // the first cycle measures the TSC's rate against the raw clock
            ASSERT_EQ(e.take(reading(1, 0, 0, 0, 0, true), &os_step_ns), tsci2::READING_IN_STEP);
        }
        const double after_s = c.raw ? 2 : 1;
        const clock_reading r =
            reading(after_s, c.realtime_extra_ns, c.mono_extra_ns, c.tsc_extra, c.width, c.raw);
        EXPECT_EQ(e.take(r, &os_step_ns), c.verdict) << c.what;
        EXPECT_EQ(os_step_ns, c.os_step_ns) << c.what;
        if (c.rate > 0) {
            EXPECT_NEAR(e.line().ns_per_tick, c.rate, 1e-9) << c.what;
            // The line reads the reading's real-time clock at its quarter tick.
            EXPECT_NEAR(static_cast<double>(e.line().at(r.tsc_begin + (r.tsc_end - r.tsc_begin) / 4) - r.realtime_ns),
                        0.0, 1.0)
                << c.what;
        }
    }
    // No rate to start from: nothing is judged.
    tsci2::phase_estimate unstarted;
    unstarted.start(reading(0, 0, 0, 0, 0), std::nan(""));
    int64 os_step_ns = 0;
    EXPECT_EQ(unstarted.take(reading(1, 0, 0, 0, 0), &os_step_ns), tsci2::READING_UNTRUSTED);
}

// A record continues the one in force at the pivot (no jump) and reaches
// the estimate a cycle later; its intercept is whole microseconds, so the
// fraction lives in the slope, at most 0.5 us over the pivot's ticks off.
TEST(DisciplineRecords, ContinuousAtThePivotAndOnTheEstimateACycleLater)
{
    constexpr uint64 CYCLE = 3000000000ull; // a second of a 3 GHz TSC
    const calibration_record_t in_force{1.0 / 3000, 1700000000000000};
    for (double pivot : {3e9, 3e12, 3e15, 3e18}) {
        for (double offset_us : {0.0, 0.3, -0.7, 900.0}) {
            const auto p = static_cast<uint64>(pivot);
            const long double old_us = static_cast<long double>(p) * in_force.slope + in_force.intercept;
            const tsci2::phase_line target{p, (old_us + offset_us) * 1000.0L, 1.000001 / 3};
            const auto at_us = [](const calibration_record_t &r, uint64 t) {
                return static_cast<double>(static_cast<long double>(t) * r.slope + r.intercept);
            };
            const std::string what = std::to_string(pivot) + " ticks, " + std::to_string(offset_us) + " us";

            const calibration_record_t next = tsci2::continuation_record(in_force, p, target, CYCLE);
            EXPECT_NEAR(at_us(next, p), static_cast<double>(old_us), 1e-3) << what;
            EXPECT_NEAR(at_us(next, p + CYCLE), static_cast<double>(target.at(p + CYCLE) / 1000), 1e-3 + 0.5 * CYCLE / pivot)
                << what;

            const calibration_record_t step = tsci2::step_record(target, p);
            EXPECT_NEAR(at_us(step, p), static_cast<double>(target.ns / 1000), 1e-3) << what;
            EXPECT_NEAR(step.slope * 1000 / target.ns_per_tick, 1.0, 1e-9 + 0.5 * 3000 / pivot) << what;
        }
    }
}

} // namespace
