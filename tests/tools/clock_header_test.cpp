/*
 * clock_header_test.cpp - yaltime::clock, compiled as C++17 (the oldest
 * standard it supports): the Clock requirements at compile time, and at run
 * time the binding, the conversions to time_t and system_clock, against a
 * stand-in component (this program, which exports its yaltime_now_ns), and
 * the standard library's timed waits at the ends of time.
 * clock_header_cxx20.cpp checks what C++20 adds; clock_binding_test.cpp the
 * binding across libraries.
 */
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <limits>
#include <thread>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "public/yaltime_clock.hpp"

static_assert(__cplusplus == 201703L, "this file checks the header as C++17");

namespace {

using yaltime::clock;

static_assert(std::is_same_v<clock::rep, std::int64_t>);
static_assert(std::is_same_v<clock::period, std::nano>);
static_assert(std::is_same_v<clock::duration, std::chrono::nanoseconds>);
static_assert(std::is_same_v<clock::time_point::clock, clock>);
static_assert(std::is_same_v<clock::time_point::duration, clock::duration>);
static_assert(!clock::is_steady);
static_assert(std::is_same_v<decltype(clock::now()), clock::time_point>);
static_assert(noexcept(clock::now()));

/* The stand-in component: this program.  yaltime_now_ns answers
 * `answer_ns`; it has started once its resolution and period are positive;
 * the lookup offers the entry points named in `offered`, and with
 * `older_component` a YALTIME_NOW of a library without yaltime_now_ns. */
std::atomic<std::int64_t> answer_ns{1700000000250000000};
} // namespace

extern "C" __attribute__((visibility("default"))) std::int64_t yaltime_now_ns() { return answer_ns.load(); }

namespace {

std::atomic<double> resolution_s{0.0};
std::atomic<double> period_s{0.0};
YALTIME_SEC_T fake_now() { return static_cast<double>(answer_ns.load()) * 1e-9; }
YALTIME_SEC_T fake_resolution() { return resolution_s.load(); }
double fake_period() { return period_s.load(); }
std::vector<std::string> offered;
bool older_component = false;
void *fake_lookup(const char *component, const char *interface)
{
    const std::pair<const char *, void *> entries[] = {
        {"YALTIME_NOW", older_component ? dlsym(RTLD_DEFAULT, "getpid") : reinterpret_cast<void *>(&fake_now)},
        {"YALTIME_CLOCK_RESOLUTION", reinterpret_cast<void *>(&fake_resolution)},
        {"YALTIME_GET_TSC_PERIOD", reinterpret_cast<void *>(&fake_period)}};
    for (const auto &[name, function] : entries)
        if (std::strcmp(component, YALTIME_CMP_NAME) == 0 && std::strcmp(interface, name) == 0 &&
            std::find(offered.begin(), offered.end(), name) != offered.end())
            return function;
    return nullptr;
}

std::int64_t system_ns() { return std::chrono::system_clock::now().time_since_epoch().count(); }

clock::time_point at(std::int64_t ns) { return clock::time_point(clock::duration(ns)); }

/* CTest runs every test in a process of its own: nothing is bound yet.
 * One step after another on the same clock: what bind() then says, and
 * whether now() reads the component (else the system clock). */
TEST(YaltimeClock, ReadsTheSystemClockUntilTheComponentHasStarted)
{
    const std::vector<std::string> all = {"YALTIME_NOW", "YALTIME_CLOCK_RESOLUTION", "YALTIME_GET_TSC_PERIOD"};
    const struct {
        const char *step;
        std::vector<std::string> offered; /* empty: no bind() call */
        bool older;
        double resolution_s, period_s;
        bool bind_finds, reads_component;
    } steps[] = {
        {"nothing offered yet", {}, false, 0.0, 0.0, false, false},
        {"a lookup without YALTIME_NOW", {all[1], all[2]}, false, 1e-9, 1e-9, false, false},
        {"a lookup without the resolution", {all[0], all[2]}, false, 1e-9, 1e-9, false, false},
        {"a lookup without the period", {all[0], all[1]}, false, 1e-9, 1e-9, false, false},
        {"a started component without yaltime_now_ns", all, true, 1e-9, 1e-9, false, false},
        {"bound before the start", all, false, 0.0, 0.0, true, false},
        {"the start has begun: a resolution, no calibration", {}, false, 1e-9, 0.0, false, false},
        {"the start has calibrated: bound with no call", {}, false, 1e-9, 4e-10, false, true},
        {"and stays bound", {}, false, 0.0, 0.0, false, true},
    };
    EXPECT_FALSE(clock::bind(nullptr));
    for (const auto &step : steps) {
        resolution_s = step.resolution_s;
        period_s = step.period_s;
        older_component = step.older;
        if (!step.offered.empty()) {
            offered = step.offered;
            EXPECT_EQ(step.bind_finds, clock::bind(&fake_lookup)) << step.step;
        }
        EXPECT_EQ(step.reads_component, clock::bound()) << step.step;
        if (step.reads_component)
            EXPECT_EQ(answer_ns.load(), clock::now().time_since_epoch().count()) << step.step;
        else
            EXPECT_NEAR(system_ns(), clock::now().time_since_epoch().count(), 5e9) << step.step;
    }
    for (std::int64_t ns : {std::int64_t{1700000000250000001}, std::int64_t{1}, std::int64_t{4102444800000000001}}) {
        answer_ns = ns;
        EXPECT_EQ(ns, clock::now().time_since_epoch().count()) << "YALTIME's nanoseconds as they are";
    }
}

/* Readers in other threads while the component starts: each reads the
 * system clock, then the component, and never goes back. */
TEST(YaltimeClock, ReadersMeetTheStartWithoutATornOrBackwardSwitch)
{
    constexpr std::int64_t COMPONENT_NS = 1000000000500000000; /* 2001: no system clock shows it now */
    answer_ns = COMPONENT_NS;
    offered = {"YALTIME_NOW", "YALTIME_CLOCK_RESOLUTION", "YALTIME_GET_TSC_PERIOD"};
    ASSERT_TRUE(clock::bind(&fake_lookup));
    std::atomic<bool> stop{false};
    auto read_until_stopped = [&](std::string *fault) {
        bool on_component = false;
        while (!stop.load() || !on_component) {
            const std::int64_t ns = clock::now().time_since_epoch().count();
            const bool component = ns == COMPONENT_NS;
            if (!component && std::llabs(ns - system_ns()) > 5000000000)
                return void(*fault = "a reading from neither clock: " + std::to_string(ns));
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

/* Rounded down to whole seconds, before 1970 too; exact on system_clock
 * (nanoseconds here) and back, from coarser and finer ticks rounded down. */
TEST(YaltimeClock, TimeTAndSystemClockAndBack)
{
    constexpr auto max = std::numeric_limits<std::int64_t>::max(), min = std::numeric_limits<std::int64_t>::min();
    const struct {
        std::int64_t ns;
        std::time_t t;
    } rows[] = {
        {1700000000999999999, 1700000000}, {1700000000000000000, 1700000000}, {-1, -1},
        {max, 9223372036},                 {min, -9223372037},
    };
    for (const auto &row : rows) {
        const std::chrono::system_clock::time_point sys = clock::to_sys(at(row.ns));
        EXPECT_EQ(row.t, clock::to_time_t(at(row.ns))) << row.ns;
        EXPECT_EQ(row.ns, std::chrono::duration_cast<std::chrono::nanoseconds>(sys.time_since_epoch()).count());
        EXPECT_EQ(at(row.ns), clock::from_sys(sys)) << row.ns;
    }
    EXPECT_EQ(at(1700000000000000000), clock::from_time_t(1700000000));
    const auto sys = clock::to_sys(at(1700000000123456789));
    EXPECT_EQ(at(1700000000123000000), clock::from_sys(std::chrono::time_point_cast<std::chrono::milliseconds>(sys)));
    using picoseconds = std::chrono::duration<std::int64_t, std::pico>;
    EXPECT_EQ(at(-2), clock::from_sys(std::chrono::time_point<std::chrono::system_clock, picoseconds>(picoseconds(-1500))));
}

/* The waits convert the distance to the deadline into nanoseconds of their
 * own clock: max() must leave that without overflow (undefined behaviour,
 * which the asan preset's UBSan stops at). */
TEST(YaltimeClock, TimedWaitsTakeTheEndsOfTime)
{
    EXPECT_EQ(std::numeric_limits<std::int64_t>::max(), clock::time_point::max().time_since_epoch().count());
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lock(m);
    EXPECT_EQ(std::cv_status::timeout, cv.wait_until(lock, clock::now() - std::chrono::seconds(1)));
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

} // namespace
