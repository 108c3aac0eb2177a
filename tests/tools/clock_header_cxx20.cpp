/*
 * clock_header_cxx20.cpp - yaltime::clock under C++20: a clock by the
 * library's own test, and clock_cast to and from system_clock where the
 * library has it.
 */
#include <gtest/gtest.h>

#include "public/yaltime_clock.hpp"

static_assert(__cplusplus >= 202002L, "this file checks the header as C++20");
static_assert(std::chrono::is_clock_v<yaltime::clock>);

namespace {

TEST(YaltimeClock, ClockCastToAndFromSystemClock)
{
#if defined(__cpp_lib_chrono) && __cpp_lib_chrono >= 201907L
    const yaltime::clock::time_point t{yaltime::clock::duration(1700000000.5)};
    const auto sys = std::chrono::clock_cast<std::chrono::system_clock>(t);
    EXPECT_EQ(yaltime::clock::to_sys(t), sys);
    EXPECT_EQ(t, std::chrono::clock_cast<yaltime::clock>(sys));
#else
    GTEST_SKIP() << "this standard library has no clock_cast";
#endif
}

} // namespace
