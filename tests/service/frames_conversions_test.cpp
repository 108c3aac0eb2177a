// Frames at a caller's rate, tick spans and the calibration status, and
// the sleeps made through the host.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "tests/support/component_state.h"
#include "tests/support/recording_base.h"
#include "time/sleeping.h"
#include "time/yaltime_entry.h"

namespace {

constexpr uint64_t U64_max = std::numeric_limits<uint64_t>::max();
const double Nan = std::nan("");
const double Inf = std::numeric_limits<double>::infinity();

class Service : public ::testing::Test {
protected:
    void SetUp() override
    {
        recording_base::install();
        component_state::reset();
        Calibration_local_only.store(true);
    }
};

TEST(FrameHelpers, ConvertSecondsAndFrames)
{
    EXPECT_EQ(yaltime_secs_to_frame(0.29, 100), 28u);
    EXPECT_EQ(yaltime_secs_to_frame(1.5, 60), 90u);
    EXPECT_EQ(yaltime_secs_to_frame(0.0, 60), 0u);
    EXPECT_EQ(yaltime_secs_to_frame(-4.0, 60), 0u);
    EXPECT_EQ(yaltime_secs_to_frame(Nan, 60), 0u);
    EXPECT_EQ(yaltime_secs_to_frame(Inf, 60), U64_max);
    EXPECT_EQ(yaltime_secs_to_frame(1e300, 1), U64_max);
    EXPECT_EQ(yaltime_secs_to_frame(5.0, 0), 0u);
    EXPECT_DOUBLE_EQ(yaltime_frame_to_secs(3, 30), 0.1);
    EXPECT_EQ(yaltime_frame_to_secs(0, 30), 0.0);
    EXPECT_EQ(yaltime_frame_to_secs(7, 0), 0.0);
}

TEST_F(Service, FramesFollowTheCalibration)
{
    const double period = component_state::measured_tsc_period();
    component_state::set_tracking_record(&Thread_calibration, period);
    const unsigned rate = 100;

    const YALTIME_FRAME_T frame_before = func_YALTIME_NOW_FRAME(rate);
    const YALTIME_TSC_T start = func_YALTIME_FRAME_START(0, rate);
    const YALTIME_TSC_T during = rdtsc();
    const YALTIME_TSC_T end = func_YALTIME_FRAME_END(0, rate);
    if (func_YALTIME_NOW_FRAME(rate) == frame_before) { // no frame boundary between the calls
        EXPECT_LE(start, during);
        EXPECT_NEAR(static_cast<double>(end - start), 0.01 / period, 2.0);
    }

    const YALTIME_FRAME_T now = func_YALTIME_NOW_FRAME(rate);
    EXPECT_GT(now, 0u);
    for (YALTIME_FRAME_T frame : {now - 5, now, now + 1000}) {
        EXPECT_EQ(func_YALTIME_FRAME_END(frame, rate), func_YALTIME_FRAME_START(frame + 1, rate));
        const double boundary = func_YALTIME_TSC_TO_NOW(func_YALTIME_FRAME_START(frame, rate));
        // Within one tick, up to the double's resolution at today's dates (2^-22 s).
        EXPECT_NEAR(boundary, static_cast<double>(frame) / rate, period + 5e-7);
    }
    for (auto call : {func_YALTIME_FRAME_START, func_YALTIME_FRAME_END})
        EXPECT_EQ(call(now, 0), 0u);
    EXPECT_EQ(func_YALTIME_NOW_FRAME(0), 0u);
}

TEST_F(Service, WithoutAUsableRecordFramesAreDefined)
{
    component_state::set_record(&Thread_calibration, 0.0, 0);
    EXPECT_EQ(func_YALTIME_NOW_FRAME(50), 0u);
    EXPECT_EQ(time_fail_count.load(), 0u) << "no OS fallback for frames";
    EXPECT_EQ(func_YALTIME_FRAME_START(0, 50), 0u);          // 0 s over slope 0: 0/0
    EXPECT_EQ(func_YALTIME_FRAME_END(0, 50), U64_max);       // 1/50 s over slope 0
    EXPECT_EQ(func_YALTIME_FRAME_END(U64_max, 50), 0u);      // frame + 1 wraps to 0
}

TEST_F(Service, TickSpansAtANanosecondPeriod)
{
    component_state::set_record(&Thread_calibration, 0.001, 0); // 1e-9 s per tick
    EXPECT_EQ(func_YALTIME_SECS_TO_TSC(0.5), 499999999u);
    EXPECT_DOUBLE_EQ(func_YALTIME_TSC_TO_SECS(1000000000), 1.0);
    EXPECT_DOUBLE_EQ(func_YALTIME_GET_TSC_PERIOD(), 1e-9);
    EXPECT_NEAR(func_YALTIME_GET_TSC_FREQUENCY() * func_YALTIME_GET_TSC_PERIOD(), 1.0, 1e-15);
    for (double bad : {-1.0, Nan, -Inf})
        EXPECT_EQ(func_YALTIME_SECS_TO_TSC(bad), 0u) << bad;
    EXPECT_EQ(func_YALTIME_SECS_TO_TSC(Inf), U64_max);
    EXPECT_EQ(func_YALTIME_SECS_TO_TSC(1e12), U64_max);

    const YALTIME_TSC_T before = rdtsc();
    const YALTIME_TSC_T deadline = func_YALTIME_START(0.0);
    const YALTIME_TSC_T after = rdtsc();
    EXPECT_GE(deadline, before);
    EXPECT_LE(deadline, after);
    const YALTIME_TSC_T ahead = func_YALTIME_START(2.0) - rdtsc();
    EXPECT_NEAR(func_YALTIME_TSC_TO_SECS(ahead), 2.0, 0.1);
    EXPECT_LE(func_YALTIME_START(Nan) - before, after - before + 1000000000u);
    // A deadline beyond the counter's range is never reached rather than already passed.
    EXPECT_EQ(func_YALTIME_START(Inf), U64_max);
    EXPECT_EQ(func_YALTIME_START(1e12), U64_max);
}

TEST_F(Service, APeriodThatIsNotPositiveFallsBackToTheStartUpPeriod)
{
    component_state::set_record(&Thread_calibration, -0.5, 0);
    TSC_period.store(0.25);
    EXPECT_DOUBLE_EQ(func_YALTIME_GET_TSC_PERIOD(), 0.25);
    EXPECT_EQ(func_YALTIME_SECS_TO_TSC(1.0), 4u);
}

TEST_F(Service, ClockResolutionIsTheStoredValue)
{
    clock_resolution.store(0.004);
    EXPECT_EQ(func_YALTIME_CLOCK_RESOLUTION(), 0.004);
}

TEST_F(Service, SleepUntilSleepsOnceForTheRemainingTime)
{
    component_state::set_record(&Thread_calibration, 0.0, 1000000000); // the time is 1000 s
    func_YALTIME_SLEEP_UNTIL(1000.25);
    ASSERT_EQ(recording_base::sleeps.size(), 1u);
    EXPECT_DOUBLE_EQ(recording_base::sleeps[0], 0.25);
    for (double past : {1000.0, 999.0, -5.0, Nan})
        func_YALTIME_SLEEP_UNTIL(past);
    EXPECT_EQ(recording_base::sleeps.size(), 1u);
}

TEST_F(Service, JitteredSleepsStayInTheirBounds)
{
    srand(7);
    for (int i = 0; i < 200; ++i) {
        func_YALTIME_SLEEP_JITTER(1.0, -0.1, 0.1);
        func_YALTIME_SLEEP_JITTER(1.0, -3.0, 0.0);
    }
    for (size_t i = 0; i < recording_base::sleeps.size(); i += 2) {
        EXPECT_GE(recording_base::sleeps[i], 0.9);
        EXPECT_LE(recording_base::sleeps[i], 1.1);
        EXPECT_GE(recording_base::sleeps[i + 1], 0.05 - 1e-12);
        EXPECT_LE(recording_base::sleeps[i + 1], 1.0);
    }
    recording_base::sleeps.clear();
    func_YALTIME_SLEEP_JITTER(1.0, 0.2, -0.2);
    func_YALTIME_SLEEP_JITTER(2.0, 0.0, 0.0);
    func_YALTIME_SLEEP_JITTER(2.0, Nan, Nan);
    ASSERT_EQ(recording_base::sleeps.size(), 3u);
    EXPECT_EQ(recording_base::sleeps[0], 1.0);
    EXPECT_EQ(recording_base::sleeps[1], 2.0);
    EXPECT_EQ(recording_base::sleeps[2], 2.0);
    for (double span : {0.0, -1.0, Nan})
        func_YALTIME_SLEEP_JITTER(span, -0.1, 0.1);
    EXPECT_EQ(recording_base::sleeps.size(), 3u) << "no sleep for a span that is not positive";
}

TEST(RandomRange, ReachesBothEnds)
{
    EXPECT_DOUBLE_EQ(0 * 4.656612875245797e-10 * (5.0 - 2.0) + 2.0, 2.0);
    EXPECT_NEAR(2147483647 * 4.656612875245797e-10 * (5.0 - 2.0) + 2.0, 5.0, 1e-12);
    srand(1);
    for (int i = 0; i < 1000; ++i) {
        const double r = randrange(2.0, 5.0);
        EXPECT_GE(r, 2.0);
        EXPECT_LE(r, 5.0);
    }
}

} // namespace
