// Eight reader threads call the reading entry points in a tight loop while a
// discipline thread steps and slews the context they read.  The discipline
// runs in simulated time: its TSC, its OS clock and its sleeps are a model
// that moves a simulated second per cycle, polls every cycle, drifts, and is
// set by hand now and then so that the loop filter steps as well as slews,
// and the index goes round the ring several times while the readers read.
//
// Three ways of reading the same moving context: a local-only process (its
// own context), the owner of the shared area, and a reader of another
// process's area whose heartbeat the discipline beats.  ThreadSanitizer is
// the main judge; in every build each reading must also be positive and
// finite, and no reading may fall back to the OS clock, which would mean a
// reader met a record that was not complete.
//
// And a reading thread that meets no positive time at all: only the
// discipline thread says its failure messages.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/time.h>

#include "interface/vek_base.interface.h"
#include "tests/support/component_state.h"
#include "time/discipline_clock.h"
#include "time/discipline_cycle.h"
#include "time/tsc_discipline.h"
#include "time/tsci2_loopfilter_internal.h"
#include "time/yaltime_entry.h"

namespace {

constexpr int Readers = 8;
constexpr int Cycles = 4000;          // about four times round the ring
constexpr int Cycles_between_steps = 37;
constexpr int Cycles_between_checkpoints = 250;
constexpr int64 Step_ns = 300000000;  // beyond the loop filter's step limit
constexpr int64 Drift_ppm = 25;

// The discipline's clocks.  Only the thread that disciplines touches them.
struct simulated_clocks {
    uint64 tsc_base = 0;
    int64 os_base_ns = 0;
    int64 t_ns = 0;
    int64 step_ns = 0;
    int cycle = 0;

    uint64 tsc() const { return tsc_base + static_cast<uint64>(t_ns) * 3; } // 3 GHz
    int64 mono_ns() const { return t_ns + t_ns / 1000000 * Drift_ppm; }     // never set by hand
    int64 os_ns() const { return os_base_ns + mono_ns() + step_ns; }
    int64 raw_ns() const { return t_ns; } // the hardware's clock: no drift, never set
};

simulated_clocks sim;
thread_local bool disciplining = false;
std::atomic<int> reader_sleeps{0};
std::atomic<int> errors_logged{0};
std::atomic<int> fatal_calls{0};
std::atomic<int> mmap_r_calls{0};
calibration_context_t *offered_area = nullptr;

uint64 sim_read_tsc(void)
{
    sim.t_ns += 20;
    return sim.tsc();
}

int sim_read_os(struct timeval *tv)
{
    sim.t_ns += 300;
    const int64 ns = sim.os_ns();
    tv->tv_sec = static_cast<decltype(tv->tv_sec)>(ns / 1000000000);
    tv->tv_usec = static_cast<decltype(tv->tv_usec)>(ns % 1000000000 / 1000);
    sim.t_ns += 300;
    return 0;
}

int sim_read_timespec(struct timespec *ts, int64 ns)
{
    ts->tv_sec = static_cast<decltype(ts->tv_sec)>(ns / 1000000000);
    ts->tv_nsec = static_cast<decltype(ts->tv_nsec)>(ns % 1000000000);
    return 0;
}

int sim_read_realtime(struct timespec *ts)
{
    sim.t_ns += 300;
    sim_read_timespec(ts, sim.os_ns());
    sim.t_ns += 300;
    return 0;
}

int sim_read_mono(struct timespec *ts)
{
    sim.t_ns += 300;
    sim_read_timespec(ts, sim.mono_ns());
    sim.t_ns += 300;
    return 0;
}

int sim_read_raw(struct timespec *ts)
{
    sim.t_ns += 300;
    sim_read_timespec(ts, sim.raw_ns());
    sim.t_ns += 300;
    return 0;
}

// Forces a poll in every cycle, and sets the OS clock by hand now and then.
void before_next_cycle()
{
    std::atomic_ref<unsigned int>(tsci2_poll_timer).store(std::atomic_ref<unsigned int>(tsci2_poll_factor).load() - 1);
    if (++sim.cycle % Cycles_between_steps == 0)
        sim.step_ns += (sim.cycle / Cycles_between_steps) % 2 ? Step_ns : -Step_ns;
}

void sleep_service(double seconds)
{
    if (!disciplining) {
        reader_sleeps.fetch_add(1);
        return;
    }
    sim.t_ns += std::llround(seconds * 1e9);
    if (seconds == DAEMON_UPDATE_INTERVAL)
        before_next_cycle();
}

void count_error(const char *, ...) { errors_logged.fetch_add(1); }

// Each syslog_error line with the thread that said it.
std::mutex said_mutex;
std::vector<std::pair<std::thread::id, std::string>> said;

void record_said(const char *format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    const std::lock_guard<std::mutex> lock(said_mutex);
    said.emplace_back(std::this_thread::get_id(), text);
}
void count_fatal(const char *, ...) { fatal_calls.fetch_add(1); }

int format_service(char *buf, int buflen, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, buflen > 0 ? static_cast<size_t>(buflen) : 0, format, args);
    va_end(args);
    return n;
}

void *offer_area(char *, long *size)
{
    mmap_r_calls.fetch_add(1);
    *size = CALIBRATION_CONTEXT_SIZE;
    return offered_area;
}

enum class reading_as { LOCAL_ONLY, OWNER, READER };

struct reader_tally {
    long readings = 0;
    long broken = 0;
    long shared = 0;
};

// One round of every reading entry point; counts what does not hold.
void read_once(reader_tally &t)
{
    auto check = [&t](bool holds) { t.broken += holds ? 0 : 1; };
    const double now = func_YALTIME_NOW();
    check(now > 0 && std::isfinite(now));
    check(func_YALTIME_GET_CURRENT_USEC() > 0);
    check(func_YALTIME_GETTIME() > 0);
    check(func_YALTIME_NOW_NTP() > 0);
    check(func_YALTIME_TSC_TO_NOW(rdtsc()) > 0);
    check(std::isfinite(func_YALTIME_GET_CLOCK_ERROR()));
    check(func_YALTIME_NOW_FRAME(60) > 0);
    check(func_YALTIME_FRAME_START(0, 60) > 0);
    check(func_YALTIME_FRAME_END(0, 1000) > 0);
    check(func_YALTIME_TSC_TO_SECS(3000000000ull) > 0);
    check(func_YALTIME_SECS_TO_TSC(1.0) > 0);
    check(func_YALTIME_START(0.001) > 0);
    check(func_YALTIME_GET_TSC_PERIOD() > 0);
    check(func_YALTIME_GET_TSC_FREQUENCY() > 0);
    check(func_YALTIME_GET_STEP_COUNT() >= 0);
    check(func_YALTIME_GET_UPDATE_COUNT() >= 0);
    char text[64];
    check(func_YALTIME_SNPRINTF_TIME(text, sizeof text, "t=", now) > 0);
    func_YALTIME_SLEEP_UNTIL(1.0); // long past: no sleep
    func_YALTIME_SLEEP_JITTER(0.001, -0.1, 0.1);
    const int code = func_YALTIME_GET_CALIBRATION();
    check(code >= CALIBRATION_OWNER && code <= CALIBRATION_OWN);
    t.shared += code == CALIBRATION_SHARED ? 1 : 0;
    ++t.readings;
}

class ConcurrentReaders : public ::testing::Test {
protected:
    void SetUp() override
    {
        component_state::reset();
        vek_base_sleep = sleep_service;
        vek_base_syslog_error = count_error;
        vek_base_fail = count_fatal;
        vek_base_snprintf = format_service;
        vek_base_mmap_r = offer_area;
        area = std::make_unique<calibration_context_t>();
        offered_area = area.get();
        reader_sleeps = errors_logged = fatal_calls = mmap_r_calls = 0;

        sim = simulated_clocks{};
        sim.tsc_base = rdtsc(); // readers read the real TSC: keep their times near today
        struct timeval now;
        gettimeofday(&now, nullptr);
        sim.os_base_ns = (static_cast<int64>(now.tv_sec) * 1000000 + now.tv_usec) * 1000;
        discipline_clock::active = {sim_read_tsc, sim_read_os, sim_read_mono, sim_read_realtime, sim_read_raw};
    }

    void TearDown() override
    {
        discipline_clock::active = discipline_clock::real_clocks();
        Master_calibration.store(nullptr);
        offered_area = nullptr;
    }

    // The context the discipline keeps, as the process is set up to read it.
    calibration_context_t *prepare(reading_as mode)
    {
        switch (mode) {
        case reading_as::LOCAL_ONLY:
            Calibration_local_only.store(true);
            return &Thread_calibration;
        case reading_as::OWNER:
            Master_calibration.store(area.get());
            Calibration_using.store(CALIBRATION_OWNER);
            return area.get();
        case reading_as::READER:
            // Own context for the times the area looks stale; nobody disciplines it.
            component_state::set_tracking_record(&Thread_calibration, component_state::measured_tsc_period(0.02));
            area_watch_start(); // the start's look maps the offered area
            return area.get();
        }
        return nullptr;
    }

    // Runs the discipline for Cycles cycles while Readers threads read.
    void read_while_disciplining(reading_as mode);

    std::unique_ptr<calibration_context_t> area;
};

void ConcurrentReaders::read_while_disciplining(reading_as mode)
{
    calibration_context_t *context = prepare(mode);
    disciplining = true; // this thread calibrates first, as start does
    tsci2_loopfilter_init(context);
    disciplining = false;
    set_tsc_rate(3000000000ull);

    std::atomic<bool> stop{false};
    std::vector<reader_tally> tallies(Readers);
    std::vector<std::atomic<long>> rounds(Readers);
    std::vector<std::thread> readers;
    for (int r = 0; r < Readers; ++r)
        readers.emplace_back([&, r] {
            const size_t i = static_cast<size_t>(r);
            while (!stop.load(std::memory_order_relaxed)) {
                read_once(tallies[i]);
                rounds[i].fetch_add(1, std::memory_order_relaxed);
            }
        });
    // Before each of its checkpoints the discipline waits until every reader
    // has read again, so each reader's rounds are spread over the whole run
    // however the threads are scheduled.
    auto wait_for_every_reader_to_pass = [&](long round) {
        for (const std::atomic<long> &done : rounds)
            while (done.load(std::memory_order_relaxed) < round)
                std::this_thread::yield();
    };

    std::thread discipline([&] {
        disciplining = true;
        tsci2::tsc_discipline d;
        d.start(context);
        for (int n = 0; n < Cycles; ++n) {
            if (n % Cycles_between_checkpoints == 0)
                wait_for_every_reader_to_pass(1 + n / Cycles_between_checkpoints);
            tsci2::discipline_cycle(context, d);
        }
    });
    discipline.join();
    stop.store(true);
    for (std::thread &t : readers)
        t.join();

    long readings = 0, broken = 0, shared = 0;
    for (const reader_tally &t : tallies) {
        readings += t.readings;
        broken += t.broken;
        shared += t.shared;
    }
    EXPECT_EQ(broken, 0) << "of " << readings << " rounds";
    EXPECT_EQ(time_fail_count.load(), 0u) << "a reader met a record that gave no positive time";
    EXPECT_EQ(errors_logged.load(), 0);
    EXPECT_EQ(fatal_calls.load(), 0);
    EXPECT_EQ(reader_sleeps.load(), readings);

    // The discipline did what the test is about.
    EXPECT_EQ(context->activity, Cycles);
    EXPECT_GE(context->stepcount, Cycles / Cycles_between_steps);
    EXPECT_GT(context->updates, CALIB_TABLE_SIZE * 2) << "the index went round the ring";
    if (mode == reading_as::READER) {
        EXPECT_GT(shared, 0) << "the readers followed the beating area";
        EXPECT_EQ(Master_calibration.load(), area.get());
        EXPECT_GE(mmap_r_calls.load(), 1);
    }
}

TEST_F(ConcurrentReaders, LocalOnlyProcessReadsItsOwnContextWhileItIsDisciplined)
{
    read_while_disciplining(reading_as::LOCAL_ONLY);
}

TEST_F(ConcurrentReaders, OwnerReadsTheAreaWhileItIsDisciplined)
{
    read_while_disciplining(reading_as::OWNER);
}

TEST_F(ConcurrentReaders, ReaderFollowsAnotherProcesssAreaWhileItIsDisciplined)
{
    read_while_disciplining(reading_as::READER);
}

// A reading thread that meets no positive time leaves its failure messages;
// the discipline thread says them, the reading thread never calls syslog.
TEST_F(ConcurrentReaders, OnlyTheDisciplineThreadSaysAReadersFailures)
{
    Calibration_local_only.store(true); // readers read Thread_calibration, all zero: time 0
    vek_base_syslog_error = record_said;
    said.clear();
    disciplining = true;
    tsci2_loopfilter_init(area.get()); // the discipline keeps a context nobody reads
    disciplining = false;

    constexpr uint32_t Failures = 300;
    std::atomic<bool> read_all{false};
    std::thread::id reading_thread;
    std::thread reader([&] {
        reading_thread = std::this_thread::get_id();
        for (uint32_t n = 0; n < Failures; ++n) {
            errmsg_timeout.store(0); // the window has passed: failure n leaves count n
            func_YALTIME_NOW();
        }
        read_all.store(true);
    });
    std::thread::id discipline_thread;
    std::thread discipline([&] {
        disciplining = true;
        discipline_thread = std::this_thread::get_id();
        tsci2::tsc_discipline d;
        for (bool last = false; !last;) {
            last = read_all.load();
            tsci2::discipline_cycle(area.get(), d);
        }
    });
    reader.join();
    discipline.join();

    ASSERT_FALSE(said.empty());
    EXPECT_LT(said.size(), Failures) << "a message is said once";
    for (const auto &[thread, text] : said) {
        EXPECT_EQ(thread, discipline_thread) << text;
        EXPECT_NE(thread, reading_thread) << text;
    }
    EXPECT_EQ(said.back().second, "YALTIME: TSC time calibration fail count 299  result=0.000000");
    EXPECT_EQ(time_fail_count.load(), Failures);
}

} // namespace
