/*
 * clock_header_cxx20.cpp - yaltime::clock under C++20: a clock by the
 * library's own test, its time points on the calendar through system_clock,
 * and clock_cast to and from system_clock where the library has it.
 */
#include <gtest/gtest.h>

#include "public/yaltime_clock.hpp"

static_assert(__cplusplus >= 202002L, "this file checks the header as C++20");
static_assert(std::chrono::is_clock_v<yaltime::clock>);

namespace {

TEST(YaltimeClock, OnTheCalendarThroughSystemClock)
{
    using namespace std::chrono;
    const yaltime::clock::time_point t{yaltime::clock::duration(1700000000500000001)};
    const sys_time<nanoseconds> sys = yaltime::clock::to_sys(t);
    EXPECT_EQ(year_month_day(year(2023), November, day(14)), year_month_day(floor<days>(sys)));
    EXPECT_EQ(hh_mm_ss<nanoseconds>(hours(22) + minutes(13) + seconds(20) + nanoseconds(500000001)).to_duration(),
              sys - floor<days>(sys));
#if defined(__cpp_lib_chrono) && __cpp_lib_chrono >= 201907L
    EXPECT_EQ(sys, clock_cast<system_clock>(t));
    EXPECT_EQ(t, clock_cast<yaltime::clock>(sys));
#endif
}

} // namespace
