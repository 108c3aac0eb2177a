/*
 * clock_header_test.cpp - yaltime::clock, compiled as C++17 (the oldest
 * standard it supports): the Clock requirements at compile time, and at run
 * time the binding, and the conversions to time_t and system_clock
 * (truncated, saturated), against a stand-in YALTIME_NOW.
 * clock_header_cxx20.cpp checks what C++20 adds.
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

static_assert(std::is_same_v<clock::rep, double>);
static_assert(std::is_same_v<clock::period, std::ratio<1>>);
static_assert(std::is_same_v<clock::duration, std::chrono::duration<double>>);
static_assert(std::is_same_v<clock::time_point::clock, clock>);
static_assert(std::is_same_v<clock::time_point::duration, clock::duration>);
static_assert(!clock::is_steady);
static_assert(std::is_same_v<decltype(clock::now()), clock::time_point>);
static_assert(noexcept(clock::now()));

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

clock::time_point at(double seconds) { return clock::time_point(clock::duration(seconds)); }

/* CTest runs every test in a process of its own: nothing is bound yet. */
TEST(YaltimeClock, ReadsTheSystemClockUntilBoundThenYaltime)
{
    EXPECT_FALSE(clock::bound());
    const double system_s = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(system_s, clock::now().time_since_epoch().count(), 5.0);

    EXPECT_FALSE(clock::bind(nullptr));
    offer_now = false;
    EXPECT_FALSE(clock::bind(&fake_lookup));
    EXPECT_FALSE(clock::bound()) << "a failed lookup leaves the clock as it was";
    offer_now = true;
    ASSERT_TRUE(clock::bind(&fake_lookup));
    EXPECT_TRUE(clock::bound());
    for (double seconds : {1700000000.25, 1.0, 4102444800.000001}) {
        answer_s = seconds;
        EXPECT_EQ(seconds, clock::now().time_since_epoch().count()) << "YALTIME's seconds as they are";
    }
}

TEST(YaltimeClock, ToSystemClockTruncatedAndSaturated)
{
    constexpr auto max = std::numeric_limits<std::chrono::system_clock::rep>::max();
    constexpr auto min = std::numeric_limits<std::chrono::system_clock::rep>::min();
    using ns = std::chrono::nanoseconds;
    const struct {
        double seconds;
        std::int64_t ns;
    } rows[] = {
        {0.0, 0},
        {1.5e-9, 1},
        {-1.5e-9, -1},
        {1700000000.25, 1700000000250000000},     /* not rounded to 256 ns */
        {1700000000.999999, 1700000000999999046}, /* the double nearest .999999 */
        {-1700000000.25, -1700000000250000000},
        {9223372036.5, 9223372036500000000},
        {9223372037.0, max}, /* past 2^63 ns, 2262-04-11 */
        {1e300, max},
        {INFINITY, max},
        {-9223372036.5, -9223372036500000000},
        {-9223372037.0, min},
        {-INFINITY, min},
        {NAN, 0},
    };
    for (const auto &row : rows) {
        const auto sys = clock::to_sys(at(row.seconds));
        if (std::is_same_v<std::chrono::system_clock::duration, ns> || row.ns == max || row.ns == min) {
            EXPECT_EQ(row.ns, std::chrono::duration_cast<ns>(sys.time_since_epoch()).count()) << row.seconds;
        }
    }
}

TEST(YaltimeClock, TimeTAndBack)
{
    const struct {
        double seconds;
        std::time_t t;
    } rows[] = {
        {1700000000.999, 1700000000},
        {1700000000.0, 1700000000},
        {-0.5, -1}, /* rounded down, like system_clock's */
        {1e300, std::numeric_limits<std::time_t>::max()},
        {-INFINITY, std::numeric_limits<std::time_t>::min()},
        {NAN, 0},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.t, clock::to_time_t(at(row.seconds))) << row.seconds;
    EXPECT_EQ(1700000000.0, clock::from_time_t(1700000000).time_since_epoch().count());

    const clock::time_point t = at(1700000000.5);
    const std::chrono::system_clock::time_point sys = clock::to_sys(t);
    EXPECT_EQ(std::chrono::system_clock::to_time_t(sys), clock::to_time_t(t));
    EXPECT_EQ(t, clock::from_sys(sys));
    EXPECT_EQ(t, clock::from_sys(std::chrono::time_point_cast<std::chrono::milliseconds>(sys)));

    const clock::time_point later = t + std::chrono::milliseconds(1);
    /* Within the resolution of a double at today's times, 2^-22 s. */
    EXPECT_NEAR(1000000, std::chrono::duration_cast<std::chrono::nanoseconds>(later - t).count(), 239);
    EXPECT_LT(t, later);
}

} // namespace
