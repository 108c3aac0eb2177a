/*
 * clock_header_test.cpp - yaltime::clock, compiled as C++17 (the oldest
 * standard it supports): the Clock requirements at compile time, and at run
 * time the binding, the conversions to time_t and system_clock
 * (truncated, saturated), against a stand-in YALTIME_NOW, and the standard
 * library's timed waits at the ends of time.  clock_header_cxx20.cpp checks
 * what C++20 adds; clock_binding_test.cpp the binding across libraries.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <limits>
#include <type_traits>

#include "public/yaltime_clock.hpp"

static_assert(__cplusplus == 201703L, "this file checks the header as C++17");

namespace {

using yaltime::clock;

static_assert(std::is_same_v<clock::rep, yaltime::clock_rep>);
static_assert(std::is_convertible_v<clock::rep, double> && std::is_convertible_v<double, clock::rep>);
static_assert(std::chrono::treat_as_floating_point_v<clock::rep>);
static_assert(std::is_same_v<clock::period, std::ratio<1>>);
static_assert(std::is_same_v<clock::duration, std::chrono::duration<yaltime::clock_rep>>);
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

/* The waits convert the distance to the deadline into nanoseconds of their
 * own clock: with a double's max() that overflowed (undefined behaviour,
 * which the asan preset's UBSan stops at). */
TEST(YaltimeClock, TimedWaitsTakeTheEndsOfTime)
{
    EXPECT_EQ(4611686018.427387904, clock::time_point::max().time_since_epoch().count());
    EXPECT_EQ(-4611686018.427387904, clock::time_point::min().time_since_epoch().count());
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lock(m);
    EXPECT_EQ(std::cv_status::timeout, cv.wait_until(lock, clock::time_point::min()));
    std::this_thread::sleep_until(clock::time_point::min());
    std::this_thread::sleep_for(clock::duration::min());
    bool woken = false;
    std::thread waker([&] {
        std::lock_guard<std::mutex> guard(m);
        woken = true;
        cv.notify_all();
    });
    EXPECT_TRUE(cv.wait_until(lock, clock::time_point::max(), [&] { return woken; }));
    lock.unlock();
    waker.join();
    const auto soon = clock::now() + std::chrono::milliseconds(1);
    std::this_thread::sleep_until(soon);
    EXPECT_LE(soon, clock::now());
}

/* Converted to integers, YALTIME's seconds truncate toward zero and
 * saturate; as doubles they are what they are. */
TEST(YaltimeClock, RepConvertsLikeADoubleAndSaturatesToIntegers)
{
    using ns = std::chrono::nanoseconds;
    const struct {
        double seconds;
        std::int64_t ns;
        std::int32_t whole_s;
    } rows[] = {
        {1.5, 1500000000, 1},
        {-1.5, -1500000000, -1},
        {1e300, std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int32_t>::max()},
        {-INFINITY, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int32_t>::min()},
        {NAN, 0, 0},
    };
    for (const auto &row : rows) {
        const clock::duration d(row.seconds);
        EXPECT_EQ(row.ns, std::chrono::duration_cast<ns>(d).count()) << row.seconds;
        EXPECT_EQ(row.whole_s, static_cast<std::int32_t>(d.count())) << row.seconds;
    }
    EXPECT_EQ(0u, static_cast<unsigned>(clock::rep(-3.0)));
    const clock::duration back = clock::duration(2.5) * 2 - std::chrono::milliseconds(500);
    EXPECT_EQ(4.5, static_cast<double>(back.count()));
    EXPECT_TRUE(clock::rep(1.0) < 2 && 2.0 > clock::rep(1.0) && clock::rep(3.0) == 3);
    EXPECT_EQ(0.25, static_cast<double>(clock::rep(1.0) / 4));
}

} // namespace
