// The initial calibration: what it writes, in which order, the sleeps it
// makes, and the record it leaves, in simulated time and once on real clocks.
#include <gtest/gtest.h>

#include <time.h>

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "public/tsc.h"
#include "sim_clock.h"
#include "time/calibration.h"
#include "time/tsci2_loopfilter_internal.h"

namespace {

// What the context looked like at one sleep.
struct seen {
    double seconds;
    int32_t idx, valid_idx, stepcount;
    double slope;
    int64 intercept;
};

class InitialCalibration : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset_loop_globals();
        context = sim::zeroed_context();
        clock = std::make_unique<sim::sim_clock>(); // 3 GHz
        clock->tsc_delay_min_ns = 10;
        clock->tsc_delay_max_ns = 40;
        clock->os_delay_min_ns = 100;
        clock->os_delay_max_ns = 400;
        use = std::make_unique<sim::installed>(*clock);
    }
    void TearDown() override
    {
        use.reset();
        sim::reset_loop_globals();
    }

    std::unique_ptr<calibration_context_t> context;
    std::unique_ptr<sim::sim_clock> clock;
    std::unique_ptr<sim::installed> use;
};

TEST_F(InitialCalibration, ElevenSleepsWithNoRecordSelected)
{
    context->activity = 42;
    context->updates = 7;
    context->stepcount = 3;
    context->idx = 9;
    context->valid_idx = 9;
    context->calib_table[0] = {9.0, 9};
    context->calib_table[5] = {0.5, 55};

    std::vector<seen> at_sleep;
    clock->before_sleep = [&](double seconds) {
        at_sleep.push_back({seconds, context->idx, context->valid_idx, context->stepcount,
                            context->calib_table[0].slope, context->calib_table[0].intercept});
    };
    tsci2_loopfilter_init(context.get());

    ASSERT_EQ(at_sleep.size(), 11u);
    EXPECT_EQ(at_sleep[0].seconds, 1.0);
    EXPECT_EQ(at_sleep[0].slope, 0.0);
    EXPECT_EQ(at_sleep[0].intercept, 0);
    const double slope = context->calib_table[0].slope;
    for (size_t i = 0; i < at_sleep.size(); ++i) {
        EXPECT_EQ(at_sleep[i].idx, -1) << "sleep " << i;
        EXPECT_EQ(at_sleep[i].valid_idx, -1) << "sleep " << i;
        EXPECT_EQ(at_sleep[i].stepcount, 0) << "sleep " << i;
        if (i > 0) {
            EXPECT_EQ(at_sleep[i].seconds, 0.0001) << "sleep " << i;
            EXPECT_EQ(at_sleep[i].slope, slope) << "the slope is in place before the sub-samples";
            EXPECT_EQ(at_sleep[i].intercept, 0) << "the intercept comes after the sub-samples";
        }
    }

    EXPECT_EQ(context->idx, 0);
    EXPECT_EQ(context->valid_idx, 0);
    EXPECT_EQ(context->stepcount, 0);
    EXPECT_EQ(context->activity, 42);
    EXPECT_EQ(context->updates, 7);
    EXPECT_EQ(context->calib_table[5].slope, 0.5);
    EXPECT_EQ(context->calib_table[5].intercept, 55);
    EXPECT_EQ(context->calib_table[1].slope, 0.0);
}

TEST_F(InitialCalibration, ThreeGigahertzSlopeAndAnInterceptOnTheOsClock)
{
    tsci2_loopfilter_init(context.get());
    const calibration_record_t &r = context->calib_table[0];
    // 1 microsecond of resolution over one second: within about 1 ppm.
    EXPECT_NEAR(r.slope, 1.0 / 3000.0, 1.0 / 3000.0 * 2e-6);

    // Right after the call the record reads the OS clock to within the
    // sub-sample delay and the resolution.
    const double calibrated = static_cast<double>(clock->tsc_now()) * r.slope;
    const int64 os_us = clock->os_ns_now() / 1000;
    EXPECT_NEAR(calibrated - static_cast<double>(os_us - r.intercept), 0.0, 2.0);
}

TEST_F(InitialCalibration, LeavesTheLoopFilterInItsStartState)
{
    tsci2_state = S_SYNC;
    tsci2_jitter = 3.0;
    tsci2_stability = 4.0;
    tsci2_last_offset = 5;
    tsci2_poll_factor = 40;
    tsci2_poll_timer = 7;
    tsci2_loopfilter_init(context.get());
    EXPECT_EQ(tsci2_state, S_NSET);
    EXPECT_EQ(tsci2_last_time, clock->last_tsc); // the TSC read by init_loopfilter, the last reading
    EXPECT_GT(tsci2_last_time, clock->tsc_base);
    EXPECT_EQ(tsci2_last_offset, 0);
    EXPECT_EQ(tsci2_jitter, 0.0);
    EXPECT_EQ(tsci2_stability, 0.0);
    EXPECT_EQ(tsci2_poll_factor, 16u);
    EXPECT_EQ(tsci2_poll_timer, 0u);
}

TEST(InitialCalibrationDeathTest, NullRecordFailsTheAssertion)
{
    EXPECT_DEATH(tsci2::tsci2_poll(nullptr), "c_record");
}

// ---- real clocks ----------------------------------------------------------------

void real_sleep(double seconds)
{
    if (!(seconds > 0))
        return;
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) != 0) {
    }
}

TEST(InitialCalibrationRealClocks, RecordReadsGettimeofdayWithin50Microseconds)
{
    sim::reset_loop_globals();
    const discipline_clock::clock_source saved = discipline_clock::active;
    const VEK_BASE_SLEEP_T saved_sleep = vek_base_sleep;
    discipline_clock::active = discipline_clock::real_clocks();
    vek_base_sleep = real_sleep;

    auto context = sim::zeroed_context();
    tsci2_loopfilter_init(context.get());

    // Right after the call: the best of a few back-to-back comparisons, so
    // that one preemption inside the check itself does not decide it.
    const calibration_record_t r = context->calib_table[0];
    double first = 0, best = 1e300;
    for (int k = 0; k < 5; ++k) {
        const uint64 tsc1 = rdtsc();
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        const uint64 tsc2 = rdtsc();
        // (ticks * slope + intercept) - os, formed without losing the
        // fraction of a microsecond to the size of the numbers.
        const int64 os_us = static_cast<int64>(tv.tv_sec) * 1000000 + tv.tv_usec;
        const double ticks = (static_cast<double>(tsc1) + static_cast<double>(tsc2)) / 2;
        const double error = ticks * r.slope - static_cast<double>(os_us - r.intercept);
        if (k == 0)
            first = error;
        best = std::fmin(best, std::fabs(error));
    }
    discipline_clock::active = saved;
    vek_base_sleep = saved_sleep;

    EXPECT_GT(r.slope, 0.0);
    EXPECT_EQ(context->idx, 0);
    EXPECT_LT(best, 50.0) << "slope " << r.slope << " us/tick, intercept " << r.intercept;
    RecordProperty("real_clock_error_us", std::to_string(first));
    std::cout << "[ figures  ] real clocks: TSC " << 1.0 / r.slope << " MHz; record minus gettimeofday right after "
              << "the call " << first << " us (best of five " << best << " us)\n";
    sim::reset_loop_globals();
}

} // namespace
