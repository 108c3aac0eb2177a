// The OS clock adapter against the calls it wraps.
#include <gtest/gtest.h>

#include <time.h>

#include <cmath>

#include "time/os_time.h"

namespace {

double realtime_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

TEST(OsClock, ReadsClockRealtime)
{
    // Bracketed by clock_gettime before and after; a microsecond of slack
    // covers the rounding of seconds since 1970 to a double.
    for (int k = 0; k < 100; ++k) {
        const double before = realtime_now();
        const double now = os_gettime();
        const double after = realtime_now();
        ASSERT_GE(now, before - 1e-6);
        ASSERT_LE(now, after + 1e-6);
    }
}

TEST(OsClock, CarriesTheFractionOfTheSecond)
{
    // A 20 millisecond sleep shows up as 20 milliseconds, neither lost in
    // the whole seconds nor scaled wrongly.
    const double t0 = os_gettime();
    struct timespec ts = {0, 20000000};
    nanosleep(&ts, nullptr);
    const double t1 = os_gettime();
    EXPECT_GE(t1 - t0, 0.019);
    EXPECT_LT(t1 - t0, 1.0);
    EXPECT_GT(t0, 1.5e9); // seconds since 1970, not nanoseconds or microseconds
    EXPECT_LT(t0, 1e10);
}

TEST(OsClock, ResolutionIsClockGetres)
{
    struct timespec res;
    ASSERT_EQ(clock_getres(CLOCK_REALTIME, &res), 0);
    const double expected = res.tv_sec != 0 ? 0.0 : static_cast<double>(res.tv_nsec) * 1e-9;
    EXPECT_EQ(get_clock_resolution(), expected);
    EXPECT_GT(get_clock_resolution(), 0.0);
    EXPECT_LT(get_clock_resolution(), 1.0);
}

} // namespace
