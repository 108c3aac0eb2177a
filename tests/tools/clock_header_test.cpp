/*
 * clock_header_test.cpp - yaltime::clock, compiled as C++17 (the oldest
 * standard it supports): the Clock requirements at compile time, and at run
 * time the binding, the conversions to time_t and system_clock
 * (truncated, saturated), against a stand-in YALTIME_NOW, and the standard
 * library's timed waits at the ends of time.  clock_header_cxx20.cpp checks
 * what C++20 adds; clock_binding_test.cpp the binding across libraries.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

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

/* The stand-in component: YALTIME_NOW answers `answer_s`; it has started
 * once its resolution and period are positive; the lookup offers the entry
 * points named in `offered`. */
std::atomic<double> answer_s{1700000000.25};
std::atomic<double> resolution_s{0.0};
std::atomic<double> period_s{0.0};
YALTIME_SEC_T fake_now() { return answer_s.load(); }
YALTIME_SEC_T fake_resolution() { return resolution_s.load(); }
double fake_period() { return period_s.load(); }
std::vector<std::string> offered;
void *fake_lookup(const char *component, const char *interface)
{
    const std::pair<const char *, void *> entries[] = {
        {"YALTIME_NOW", reinterpret_cast<void *>(&fake_now)},
        {"YALTIME_CLOCK_RESOLUTION", reinterpret_cast<void *>(&fake_resolution)},
        {"YALTIME_GET_TSC_PERIOD", reinterpret_cast<void *>(&fake_period)}};
    for (const auto &[name, function] : entries)
        if (std::strcmp(component, YALTIME_CMP_NAME) == 0 && std::strcmp(interface, name) == 0 &&
            std::find(offered.begin(), offered.end(), name) != offered.end())
            return function;
    return nullptr;
}

double system_s() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

clock::time_point at(double seconds) { return clock::time_point(clock::duration(seconds)); }

/* CTest runs every test in a process of its own: nothing is bound yet.
 * One step after another on the same clock: what bind() then says, and
 * whether now() reads the component (else the system clock). */
TEST(YaltimeClock, ReadsTheSystemClockUntilTheComponentHasStarted)
{
    const std::vector<std::string> all = {"YALTIME_NOW", "YALTIME_CLOCK_RESOLUTION", "YALTIME_GET_TSC_PERIOD"};
    const struct {
        const char *step;
        std::vector<std::string> offered; /* empty: no bind() call */
        double resolution_s, period_s;
        bool bind_finds, reads_component;
    } steps[] = {
        {"nothing offered yet", {}, 0.0, 0.0, false, false},
        {"a lookup without YALTIME_NOW", {all[1], all[2]}, 1e-9, 1e-9, false, false},
        {"a lookup without the resolution", {all[0], all[2]}, 1e-9, 1e-9, false, false},
        {"a lookup without the period", {all[0], all[1]}, 1e-9, 1e-9, false, false},
        {"bound before the start", all, 0.0, 0.0, true, false},
        {"the start has begun: a resolution, no calibration", {}, 1e-9, 0.0, false, false},
        {"the start has calibrated: bound with no call", {}, 1e-9, 4e-10, false, true},
        {"and stays bound", {}, 0.0, 0.0, false, true},
    };
    EXPECT_FALSE(clock::bind(nullptr));
    for (const auto &step : steps) {
        resolution_s = step.resolution_s;
        period_s = step.period_s;
        if (!step.offered.empty()) {
            offered = step.offered;
            EXPECT_EQ(step.bind_finds, clock::bind(&fake_lookup)) << step.step;
        }
        EXPECT_EQ(step.reads_component, clock::bound()) << step.step;
        if (step.reads_component)
            EXPECT_EQ(answer_s.load(), clock::now().time_since_epoch().count()) << step.step;
        else
            EXPECT_NEAR(system_s(), clock::now().time_since_epoch().count(), 5.0) << step.step;
    }
    for (double seconds : {1700000000.25, 1.0, 4102444800.000001}) {
        answer_s = seconds;
        EXPECT_EQ(seconds, clock::now().time_since_epoch().count()) << "YALTIME's seconds as they are";
    }
}

/* Readers in other threads while the component starts: each reads the
 * system clock, then the component, and never goes back. */
TEST(YaltimeClock, ReadersMeetTheStartWithoutATornOrBackwardSwitch)
{
    constexpr double COMPONENT_S = 1000000000.5; /* 2001: no system clock shows it now */
    answer_s = COMPONENT_S;
    offered = {"YALTIME_NOW", "YALTIME_CLOCK_RESOLUTION", "YALTIME_GET_TSC_PERIOD"};
    ASSERT_TRUE(clock::bind(&fake_lookup));
    std::atomic<bool> stop{false};
    auto read_until_stopped = [&](std::string *fault) {
        bool on_component = false;
        while (!stop.load() || !on_component) {
            const double s = clock::now().time_since_epoch().count();
            const bool component = s == COMPONENT_S;
            if (!component && std::fabs(s - system_s()) > 5.0)
                return void(*fault = "a reading from neither clock: " + std::to_string(s));
            if (on_component && !component)
                return void(*fault = "back to the system clock after the component");
            on_component = component;
        }
    };
    std::string faults[2];
    std::thread readers[] = {std::thread(read_until_stopped, &faults[0]), std::thread(read_until_stopped, &faults[1])};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    resolution_s = 1e-9;
    period_s = 4e-10;
    stop = true;
    for (std::thread &reader : readers)
        reader.join();
    EXPECT_EQ("", faults[0]);
    EXPECT_EQ("", faults[1]);
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
