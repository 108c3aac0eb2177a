// Clock readings: the calibrated path, the OS fallback with its failure
// count and once-a-second message (said by the discipline thread), and the
// derived units.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "tests/support/component_state.h"
#include "tests/support/recording_base.h"
#include "time/yaltime_entry.h"

namespace {

class ClockReading : public ::testing::Test {
protected:
    void SetUp() override
    {
        recording_base::install();
        component_state::reset();
        Calibration_local_only.store(true);
    }
};

TEST_F(ClockReading, ConvertsWithTheRecordInForce)
{
    component_state::set_record(&Thread_calibration, 0.5, 1000000); // 1 s at tick 0, 2 ticks a microsecond
    EXPECT_DOUBLE_EQ(func_YALTIME_TSC_TO_NOW(2000000), 2.0);
    EXPECT_EQ(time_fail_count.load(), 0u);
    EXPECT_EQ(Calibration_using.load(), CALIBRATION_OWN);
}

TEST_F(ClockReading, TracksTheOsClock)
{
    component_state::set_tracking_record(&Thread_calibration, component_state::measured_tsc_period());
    const double before = os_gettime();
    const double now = func_YALTIME_NOW();
    const double after = os_gettime();
    EXPECT_GT(now, before - 0.01);
    EXPECT_LT(now, after + 0.01);
    EXPECT_LT(std::fabs(func_YALTIME_GET_CLOCK_ERROR()), 0.01);
    EXPECT_EQ(time_fail_count.load(), 0u);
}

TEST_F(ClockReading, MillisecondsAndMicrosecondsTruncate)
{
    component_state::set_record(&Thread_calibration, 0.0, 1000999); // 1.000999 s at every tick
    EXPECT_EQ(func_YALTIME_GETTIME(), 1000u);
    EXPECT_EQ(func_YALTIME_GET_CURRENT_USEC(), 1000999u);
}

TEST_F(ClockReading, NoPositiveTimeFallsBackToTheOsClockAndLeavesAMessageOnceASecond)
{
    Calibration_local_only.store(true);
    component_state::set_record(&Thread_calibration, 0.0, 0); // every tick converts to 0

    const double before = os_gettime();
    EXPECT_GE(func_YALTIME_NOW(), before);
    say_fail_message(); // what the discipline thread does once a cycle
    EXPECT_TRUE(recording_base::errors.empty()) << "the first failure only arms the window";
    EXPECT_EQ(time_fail_count.load(), 1u);

    // Within the window: counted, no message.
    errmsg_timeout.store(rdtsc() + 3000000000000ull);
    func_YALTIME_NOW();
    func_YALTIME_TSC_TO_NOW(12345);
    say_fail_message();
    EXPECT_TRUE(recording_base::errors.empty());
    EXPECT_EQ(time_fail_count.load(), 3u);

    // After the window: the reading leaves one message with the earlier count
    // and the rejected time; the next cycle says it, and only once.
    errmsg_timeout.store(rdtsc() - 1);
    func_YALTIME_NOW();
    func_YALTIME_NOW();
    EXPECT_TRUE(recording_base::errors.empty()) << "the reading itself logs nothing";
    say_fail_message();
    say_fail_message();
    ASSERT_EQ(recording_base::errors.size(), 1u);
    EXPECT_EQ(recording_base::errors[0], "YALTIME: TSC time calibration fail count 3  result=0.000000");
    EXPECT_EQ(time_fail_count.load(), 5u);

    // Two messages due before a cycle: the later one, whose count includes the earlier.
    errmsg_timeout.store(0);
    func_YALTIME_NOW();
    component_state::set_record(&Thread_calibration, 0.0, -7);
    errmsg_timeout.store(0);
    func_YALTIME_NOW();
    say_fail_message();
    ASSERT_EQ(recording_base::errors.size(), 2u);
    EXPECT_EQ(recording_base::errors[1], "YALTIME: TSC time calibration fail count 6  result=-0.000007");
}

TEST_F(ClockReading, ATimeBefore1970IsAFailure)
{
    component_state::set_record(&Thread_calibration, 1.0, -1000000);
    const double before = os_gettime();
    EXPECT_GE(func_YALTIME_TSC_TO_NOW(0), before); // the OS time at the call, not the time of tick 0
    EXPECT_EQ(time_fail_count.load(), 1u);
}

TEST_F(ClockReading, ClockErrorOnTheFailurePathIsAtOrBelowZero)
{
    component_state::set_record(&Thread_calibration, 0.0, -5);
    const double error = func_YALTIME_GET_CLOCK_ERROR();
    EXPECT_LE(error, 0.0);
    EXPECT_GT(error, -0.5);
    EXPECT_EQ(time_fail_count.load(), 1u);
}

TEST_F(ClockReading, AnIndexOutsideTheRingReadsNoRecordAndFallsBack)
{
    for (int32_t idx : {-1, 1024, 5000}) {
        component_state::set_record(&Thread_calibration, 1.0, 1000000000000000);
        Thread_calibration.idx = idx;
        const double before = os_gettime();
        const double now = func_YALTIME_NOW();
        EXPECT_GE(now, before) << idx;
        EXPECT_LT(now, before + 60) << idx;
        EXPECT_EQ(func_YALTIME_NOW_FRAME(100), 0u) << idx;
    }
}

} // namespace
