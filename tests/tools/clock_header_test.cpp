/*
 * clock_header_test.cpp - yaltime::clock, compiled as C++17 (the oldest
 * standard it supports): the Clock requirements at compile time, and at run
 * time the binding, the conversion of YALTIME's seconds into nanoseconds
 * (truncated, saturated), time_t and system_clock, against a stand-in
 * YALTIME_NOW.  clock_header_cxx20.cpp checks what C++20 adds.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "public/yaltime_clock.hpp"

static_assert(__cplusplus == 201703L, "this file checks the header as C++17");

namespace {

using yaltime::clock;

static_assert(std::is_same_v<clock::rep, std::int64_t>);
static_assert(std::is_same_v<clock::period, std::nano>);
static_assert(std::is_same_v<clock::duration, std::chrono::duration<std::int64_t, std::nano>>);
static_assert(std::is_same_v<clock::time_point::clock, clock>);
static_assert(std::is_same_v<clock::time_point::duration, clock::duration>);
static_assert(!clock::is_steady);
static_assert(std::is_same_v<decltype(clock::now()), clock::time_point>);
static_assert(noexcept(clock::now()));
static_assert(clock::from_seconds(1.5).time_since_epoch().count() == 1500000000);

/* The stand-in component: YALTIME_NOW answers `answer_s`. */
double answer_s = 0.0;
YALTIME_SEC_T fake_now() { return answer_s; }
bool offer_now = true;
void *fake_lookup(const char *component, const char *interface)
{
    if (offer_now && std::strcmp(component, YALTIME_CMP_NAME) == 0 && std::strcmp(interface, "YALTIME_NOW") == 0)
        return reinterpret_cast<void *>(&fake_now);
    return nullptr;
}

/* Runs first in this executable (the suite's name sorts before the others'). */
TEST(YaltimeClock, ReadsTheSystemClockUntilBoundThenYaltime)
{
    EXPECT_FALSE(clock::bound());
    const double system_s = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(system_s, std::chrono::duration<double>(clock::now().time_since_epoch()).count(), 5.0);

    EXPECT_FALSE(clock::bind(nullptr));
    offer_now = false;
    EXPECT_FALSE(clock::bind(&fake_lookup));
    EXPECT_FALSE(clock::bound()) << "a failed lookup leaves the clock as it was";
    offer_now = true;
    ASSERT_TRUE(clock::bind(&fake_lookup));
    EXPECT_TRUE(clock::bound());
    answer_s = 1700000000.25;
    EXPECT_EQ(1700000000250000000, clock::now().time_since_epoch().count());
}

TEST(YaltimeClock, SecondsBecomeNanosecondsTruncatedAndSaturated)
{
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    const struct {
        double seconds;
        std::int64_t ns;
    } rows[] = {
        {0.0, 0},
        {1.5e-9, 1},
        {-1.5e-9, -1},
        {1700000000.5, 1700000000500000000},
        {1700000000.999999, 1700000000999999046}, /* the double nearest .999999 */
        {-1700000000.25, -1700000000250000000},
        {9223372036.0, 9223372036000000000},
        {9223372036.5, 9223372036500000000},
        {9223372037.0, max}, /* past 2^63 ns, 2262-04-11 */
        {1e300, max},
        {INFINITY, max},
        {-9223372036.5, -9223372036500000000},
        {-9223372037.0, min},
        {-1e300, min},
        {-INFINITY, min},
        {NAN, 0},
    };
    ASSERT_TRUE(clock::bind(&fake_lookup));
    for (const auto &row : rows) {
        answer_s = row.seconds;
        EXPECT_EQ(row.ns, clock::now().time_since_epoch().count()) << row.seconds;
        EXPECT_EQ(row.ns, clock::from_seconds(row.seconds).time_since_epoch().count()) << row.seconds;
    }
}

TEST(YaltimeClock, TimeTAndSystemClock)
{
    const clock::time_point t = clock::from_seconds(1700000000.999);
    EXPECT_EQ(std::time_t{1700000000}, clock::to_time_t(t));
    EXPECT_EQ(std::time_t{-1}, clock::to_time_t(clock::from_seconds(-0.5))) << "rounded down";
    EXPECT_EQ(1700000000000000000, clock::from_time_t(1700000000).time_since_epoch().count());
    EXPECT_EQ(std::time_t{1700000000}, clock::to_time_t(clock::from_time_t(1700000000)));

    const std::chrono::system_clock::time_point sys = clock::to_sys(t);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::nanoseconds>(sys.time_since_epoch()).count(),
              t.time_since_epoch().count());
    EXPECT_EQ(std::chrono::system_clock::to_time_t(sys), clock::to_time_t(t));
    EXPECT_EQ(t, clock::from_sys(sys));
    const auto seconds = clock::to_sys(std::chrono::time_point_cast<std::chrono::seconds>(t));
    EXPECT_EQ(1700000000, seconds.time_since_epoch().count());

    const clock::time_point later = t + std::chrono::milliseconds(1);
    EXPECT_EQ(1000000, (later - t).count());
    EXPECT_LT(t, later);
}

} // namespace
