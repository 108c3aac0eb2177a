// The whole discipline in simulated time, on the machine of sim::simulated_run
// (a 3 GHz TSC, an OS clock running 40 ppm fast against it; a change of that
// rate while running is a disturbance, swept in disturbance_test.cpp).  The
// initial calibration and then the thread's cycles run for hours of
// simulated time in milliseconds, the calibrated clock (the record in force
// applied to the TSC) compared with the OS clock as it goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "sim_clock.h"
#include "time/calibration.h"
#include "time/tsci2_loopfilter_internal.h"

namespace {

constexpr int64 SEC = sim::NS_PER_SEC;
constexpr double CONVERGED_AFTER_S = 600.0; // ten minutes
constexpr double BOUND_US = 5.0;

using sim::simulated_run;

// Convergence figures of a two-hour run.
struct convergence {
    double max_abs_after_10min_us = 0; // largest |error| from ten minutes on
    double max_abs_before_10min_us = 0;
    double rms_after_10min_us = 0;
    int polls = 0;
    unsigned final_poll_factor = 0;
    int steps = 0;
};

convergence run_two_hours(simulated_run &run)
{
    convergence c;
    double sum_sq = 0;
    long n = 0;
    run.on_check = [&](double error, double t) {
        if (t >= CONVERGED_AFTER_S) {
            c.max_abs_after_10min_us = std::max(c.max_abs_after_10min_us, std::fabs(error));
            sum_sq += error * error;
            ++n;
        } else if (t >= 17.0) { // after the first poll's step
            c.max_abs_before_10min_us = std::max(c.max_abs_before_10min_us, std::fabs(error));
        }
    };
    c.polls = run.run_until(2 * 3600.0);
    c.rms_after_10min_us = std::sqrt(sum_sq / static_cast<double>(n));
    c.final_poll_factor = tsci2_poll_factor;
    c.steps = run.context->stepcount;
    run.on_check = nullptr;
    return c;
}

void report(const std::string &key, double value)
{
    ::testing::Test::RecordProperty(key, std::to_string(value));
}

TEST(DisciplineSimulation, StaysWithinFiveMicrosecondsAfterTenMinutes)
{
    for (uint64 seed : {1u, 2u, 3u}) {
        simulated_run run(seed);
        const convergence c = run_two_hours(run);
        std::cout << "[ figures  ] seed " << seed << ": 2 h simulated, OS clock +40 ppm; max |error| "
                  << c.max_abs_before_10min_us << " us from the first poll to 10 min, " << c.max_abs_after_10min_us
                  << " us (rms " << c.rms_after_10min_us << " us) from 10 min on; " << c.polls
                  << " polls, final poll factor " << c.final_poll_factor << ", steps " << c.steps << "\n";
        const std::string s = "seed" + std::to_string(seed) + "_";
        report(s + "max_abs_error_after_10min_us", c.max_abs_after_10min_us);
        report(s + "rms_error_after_10min_us", c.rms_after_10min_us);
        report(s + "max_abs_error_before_10min_us", c.max_abs_before_10min_us);
        report(s + "final_poll_factor", c.final_poll_factor);

        EXPECT_LE(c.max_abs_after_10min_us, BOUND_US) << "seed " << seed;
        EXPECT_EQ(c.steps, 1) << "only the first poll steps";
        EXPECT_EQ(tsci2_state, S_SYNC);
        EXPECT_GE(c.final_poll_factor, static_cast<unsigned>(TSCI2_MINPOLL));
        EXPECT_LE(c.final_poll_factor, static_cast<unsigned>(TSCI2_MAXPOLL));
    }
}

// After two hours the OS clock is set by `step_s` seconds; the run goes on
// for another half hour.  The per-cycle check steps the clock in the first
// cycle after the OS step, without waiting for the next poll.
struct after_step {
    int cycles_to_step = 0;              // cycles from the OS step to the one that stepped
    double error_right_after_us = 0;     // right after that cycle
    double worst_wrong_side_us = -1e300; // most ahead (forward) / behind (backward) after the OS step
    double max_abs_after_step_us = 0;    // from that cycle to the end
    int steps_taken = 0;                 // steps counted from the OS step to the end
    double slope_change = 0;             // slope in force at the end of the cycle that stepped, minus before
};

after_step run_with_os_step(uint64 seed, int64 step_s)
{
    simulated_run run(seed);
    const convergence c = run_two_hours(run);
    EXPECT_LE(c.max_abs_after_10min_us, BOUND_US);

    after_step a;
    const int steps_before = run.context->stepcount;
    const double slope_before = run.context->calib_table[run.context->idx].slope;
    const double sign = step_s > 0 ? 1.0 : -1.0;
    bool stepped = false;
    run.on_check = [&](double error, double) {
        // Positive when the calibrated clock is on the wrong side: ahead of
        // an OS clock set forward, or behind one set back.
        a.worst_wrong_side_us = std::max(a.worst_wrong_side_us, sign * error);
        if (stepped)
            a.max_abs_after_step_us = std::max(a.max_abs_after_step_us, std::fabs(error));
    };

    run.clock.os_step_ns += step_s * SEC;
    const double os_step_at = run.seconds();
    while (!stepped && run.seconds() < os_step_at + 200) {
        run.cycle();
        ++a.cycles_to_step;
        if (run.context->stepcount != steps_before) {
            stepped = true;
            a.error_right_after_us = run.error_us();
            a.slope_change = run.context->calib_table[run.context->idx].slope - slope_before;
            EXPECT_EQ(run.context->stepcount, steps_before + 1) << "one step follows the OS step";
        }
    }
    EXPECT_TRUE(stepped);
    a.max_abs_after_step_us = std::fabs(a.error_right_after_us);
    run.run_until(os_step_at + 1800);
    a.steps_taken = run.context->stepcount - steps_before;
    run.on_check = nullptr;
    return a;
}

void expect_follows_step(const char *name, int64 step_s)
{
    const after_step a = run_with_os_step(1, step_s);
    std::cout << "[ figures  ] OS clock set " << name << " one hour after 2 h: stepped " << a.cycles_to_step
              << " cycle(s) later; error right after that cycle " << a.error_right_after_us << " us; at most "
              << a.worst_wrong_side_us << " us on the wrong side ("
              << (step_s > 0 ? "ahead" : "behind") << ") since the OS step; max |error| " << a.max_abs_after_step_us
              << " us over the next 30 min; " << a.steps_taken << " step(s)\n";
    const std::string s = std::string(name) + "_";
    report(s + "cycles_to_step", a.cycles_to_step);
    report(s + "error_right_after_step_us", a.error_right_after_us);
    report(s + "worst_wrong_side_us", a.worst_wrong_side_us);
    report(s + "max_abs_error_after_step_us", a.max_abs_after_step_us);

    EXPECT_EQ(a.cycles_to_step, 1) << "the first cycle after the OS step steps";
    // The step carries the rate the discipline holds: no frequency error
    // taken from the step (the rate moves by the noise of a cycle's reading).
    EXPECT_LE(std::fabs(a.slope_change) / (1.0 / 3000), 1e-7) << "a step of the OS clock is not a frequency error";
    EXPECT_LE(std::fabs(a.error_right_after_us), BOUND_US);
    EXPECT_LE(a.worst_wrong_side_us, 1000.0);
    EXPECT_LE(a.max_abs_after_step_us, BOUND_US);
    EXPECT_EQ(a.steps_taken, 1);
}

TEST(DisciplineSimulation, FollowsTheOsClockSetForwardByOneHour)
{
    expect_follows_step("forward", 3600);
}

TEST(DisciplineSimulation, FollowsTheOsClockSetBackByOneHour)
{
    expect_follows_step("back", -3600);
}

// A reader in another thread, as any thread of the process may be, while the
// discipline runs a day of simulated time: every record it selects through
// idx is complete (records not yet written are all zero), and the loop-state
// globals read as a monitor reads them stay in their ranges.  The day runs
// in slices, and each slice waits until the reader has read again since the
// last one, so the reads are spread over the whole day however the threads
// are scheduled.
TEST(DisciplineSimulation, ConcurrentReadersSeeOnlyCompleteRecords)
{
    constexpr int Slices = 96;          // a quarter of an hour each
    constexpr long Reads_per_slice = 20;
    simulated_run run(4);
    std::atomic<bool> done{false};
    std::atomic<long> reads{0};
    long bad_records = 0, bad_globals = 0;
    std::thread reader([&] {
        while (!done.load(std::memory_order_acquire)) {
            calib::line l;
            if (!calib::record_in_force(run.context.get(), &l) || !(l.slope > 0.9 / 3000.0) ||
                !(l.slope < 1.1 / 3000.0) || l.intercept == 0)
                ++bad_records;
            const unsigned poll_factor = calib::load(tsci2_poll_factor);
            const int state = calib::load(tsci2_state);
            if (poll_factor < TSCI2_MINPOLL || poll_factor > TSCI2_MAXPOLL || (state != S_NSET && state != S_SYNC))
                ++bad_globals;
            reads.fetch_add(1, std::memory_order_release);
        }
    });
    for (int slice = 1; slice <= Slices; ++slice) {
        while (reads.load(std::memory_order_acquire) < slice * Reads_per_slice)
            std::this_thread::yield();
        run.run_until(slice * (24 * 3600.0 / Slices));
    }
    done.store(true, std::memory_order_release);
    reader.join();
    EXPECT_EQ(bad_records, 0);
    EXPECT_EQ(bad_globals, 0);
    EXPECT_GT(run.context->updates, 1024) << "the ring has wrapped";
}

} // namespace
