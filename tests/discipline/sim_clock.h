// A simulated TSC and OS clocks for driving the TSC discipline in simulated
// time.  True time is counted in nanoseconds from the start of a run; the
// TSC, the OS monotonic clock and the OS real-time clock are functions of
// it, and every reading and every sleep moves it forward.  As in the kernel,
// the two OS clocks run at one rate (rate changes and a daemon's slews apply
// to both) and only the real-time clock is ever stepped; the raw monotonic
// clock runs at true time's rate, which no daemon steers.  Installing a sim_clock points the discipline's clock seam
// (discipline_clock::active) and the host's sleep slot (vek_base_sleep) at it.
#ifndef YALTIME_TESTS_DISCIPLINE_SIM_CLOCK_H
#define YALTIME_TESTS_DISCIPLINE_SIM_CLOCK_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include <sys/time.h>
#include <time.h>

#include "interface/vek_base.interface.h"
#include "public/portable.h"
#include "time/calibration.h"
#include "time/discipline_clock.h"
#include "time/discipline_cycle.h"
#include "time/tsc_discipline.h"
#include "time/tsci2_loopfilter.h"
#include "time/tsci2_loopfilter_internal.h"

namespace sim {

constexpr int64 NS_PER_SEC = 1000000000;

struct sim_clock {
    // ---- configuration --------------------------------------------------
    // TSC = tsc_base + t * tsc_num / tsc_den (t in ns): 3/1 is 3 GHz, 1/1000 is 1 MHz.
    uint64 tsc_base = 1000000000000ull;
    int64 tsc_num = 3;
    int64 tsc_den = 1;
    // Once t passes tsc_rate_change_at_ns the TSC runs tsc_rate_ppm faster
    // (a virtual machine moved to another host); tsc_step_ticks is added to
    // every reading (a TSC reset or jump, set by hand).
    int64 tsc_rate_change_at_ns = INT64_MAX;
    int64 tsc_rate_ppm = 0;
    int64 tsc_step_ticks = 0;
    // OS monotonic clock in ns: mono_base_ns + t, plus rate_ppm * (t -
    // rate_change_at_ns) once t passes rate_change_at_ns, plus slew_ppm * the
    // part of [slew_from_ns, slew_until_ns) that t has passed (a time
    // daemon's slew).  The real-time clock, ns since 1970: the monotonic
    // clock plus os_base_ns - mono_base_ns plus os_step_ns (set by hand).
    int64 mono_base_ns = 5000 * NS_PER_SEC;
    int64 os_base_ns = 1700000000 * NS_PER_SEC + 123456789;
    int64 rate_change_at_ns = INT64_MAX;
    int64 rate_ppm = 0;
    int64 slew_from_ns = 0, slew_until_ns = 0;
    int64 slew_ppm = 0;
    int64 os_step_ns = 0;
    // The raw monotonic clock in ns: raw_base_ns + t.  has_raw false: the
    // kernel refuses CLOCK_MONOTONIC_RAW.
    int64 raw_base_ns = 4000 * NS_PER_SEC;
    bool has_raw = true;
    // Suspend to idle: from stopped_from_ns the monotonic and raw clocks
    // stand still for stopped_ns, while the TSC and the real-time clock run on.
    int64 stopped_from_ns = INT64_MAX, stopped_ns = 0;
    // A moving rate of both OS clocks (a time daemon steering, a crystal
    // warming): what it has added to them by true time t, ns.
    std::function<double(int64 t)> wander_ns;
    // gettimeofday's resolution.
    int64 resolution_ns = 1000;
    // Delay before a TSC reading is taken, and before and after the OS
    // clock's sample inside gettimeofday (uniform, ns; 0..0 for none).
    int64 tsc_delay_min_ns = 0, tsc_delay_max_ns = 0;
    int64 os_delay_min_ns = 0, os_delay_max_ns = 0;
    // A sleep lasts what it was asked plus an overshoot in [0, max] ns.
    int64 sleep_overshoot_max_ns = 0;
    std::mt19937_64 rng{12345};

    // ---- state ------------------------------------------------------------
    int64 t_ns = 0; // true time since the start of the run
    uint64 last_tsc = 0;
    std::vector<double> sleeps;                 // every sleep asked for, in order
    std::function<void(double seconds)> before_sleep; // called inside a sleep, before time moves
    std::function<void(double seconds)> after_sleep;  // called inside a sleep, after time moved
    std::function<void()> before_os_sample;           // called in read_os before the OS clock is sampled
    std::function<void()> before_tsc_sample;          // called in read_tsc before the TSC is sampled

    uint64 tsc_at(int64 t) const
    {
        const int64 ticks = t / tsc_den * tsc_num + (t % tsc_den) * tsc_num / tsc_den;
        int64 extra = 0;
        if (t > tsc_rate_change_at_ns) {
            const int64 since = ticks - ((tsc_rate_change_at_ns / tsc_den) * tsc_num);
            extra = since / 1000000 * tsc_rate_ppm + since % 1000000 * tsc_rate_ppm / 1000000;
        }
        return tsc_base + static_cast<uint64>(ticks + extra + tsc_step_ticks);
    }

    // What rate changes and slews have added to the OS clocks by t.
    int64 os_rate_ns_at(int64 t) const
    {
        int64 ns = 0;
        if (t > rate_change_at_ns)
            ns += (t - rate_change_at_ns) * rate_ppm / 1000000;
        if (t > slew_from_ns)
            ns += (std::min(t, slew_until_ns) - slew_from_ns) * slew_ppm / 1000000;
        if (wander_ns)
            ns += std::llround(wander_ns(t));
        return ns;
    }

    int64 stopped_ns_at(int64 t) const { return t <= stopped_from_ns ? 0 : std::min(t - stopped_from_ns, stopped_ns); }

    int64 mono_ns_at(int64 t) const { return mono_base_ns + t + os_rate_ns_at(t) - stopped_ns_at(t); }

    int64 os_ns_at(int64 t) const { return os_base_ns + t + os_rate_ns_at(t) + os_step_ns; }

    int64 os_ns_now() const { return os_ns_at(t_ns); }

    int64 raw_ns_at(int64 t) const { return raw_base_ns + t - stopped_ns_at(t); }

    // The machine suspended to idle for `seconds`, from now.
    void suspend(double seconds)
    {
        stopped_from_ns = t_ns;
        stopped_ns = std::llround(seconds * 1e9);
        t_ns += stopped_ns;
    }

    // A daemon's slew of the OS clocks by ppm for seconds, from now.
    void slew(int64 ppm, double seconds)
    {
        slew_from_ns = t_ns;
        slew_until_ns = t_ns + std::llround(seconds * 1e9);
        slew_ppm = ppm;
    }
    uint64 tsc_now() const { return tsc_at(t_ns); }

    int64 uniform(int64 lo, int64 hi)
    {
        if (hi <= lo)
            return lo;
        return std::uniform_int_distribution<int64>(lo, hi)(rng);
    }

    uint64 read_tsc()
    {
        t_ns += uniform(tsc_delay_min_ns, tsc_delay_max_ns);
        if (before_tsc_sample)
            before_tsc_sample();
        last_tsc = tsc_at(t_ns);
        return last_tsc;
    }

    void read_os(struct timeval *tv)
    {
        t_ns += uniform(os_delay_min_ns, os_delay_max_ns);
        if (before_os_sample)
            before_os_sample();
        const int64 ns = os_ns_at(t_ns);
        const int64 truncated = ns / resolution_ns * resolution_ns;
        tv->tv_sec = static_cast<decltype(tv->tv_sec)>(truncated / NS_PER_SEC);
        tv->tv_usec = static_cast<decltype(tv->tv_usec)>(truncated % NS_PER_SEC / 1000);
        t_ns += uniform(os_delay_min_ns, os_delay_max_ns);
    }

    // clock_gettime(CLOCK_MONOTONIC), read with the OS clock's delays.
    void read_mono(struct timespec *ts)
    {
        t_ns += uniform(os_delay_min_ns, os_delay_max_ns);
        const int64 ns = mono_ns_at(t_ns);
        ts->tv_sec = static_cast<decltype(ts->tv_sec)>(ns / NS_PER_SEC);
        ts->tv_nsec = static_cast<decltype(ts->tv_nsec)>(ns % NS_PER_SEC);
        t_ns += uniform(os_delay_min_ns, os_delay_max_ns);
    }

    // clock_gettime(CLOCK_REALTIME): the real-time clock in ns, read with the OS clock's delays.
    void read_realtime(struct timespec *ts)
    {
        t_ns += uniform(os_delay_min_ns, os_delay_max_ns);
        if (before_os_sample)
            before_os_sample();
        const int64 ns = os_ns_at(t_ns);
        ts->tv_sec = static_cast<decltype(ts->tv_sec)>(ns / NS_PER_SEC);
        ts->tv_nsec = static_cast<decltype(ts->tv_nsec)>(ns % NS_PER_SEC);
        t_ns += uniform(os_delay_min_ns, os_delay_max_ns);
    }

    // clock_gettime(CLOCK_MONOTONIC_RAW), read with the OS clock's delays; false without one.
    bool read_raw(struct timespec *ts)
    {
        if (!has_raw)
            return false;
        t_ns += uniform(os_delay_min_ns, os_delay_max_ns);
        const int64 ns = raw_ns_at(t_ns);
        ts->tv_sec = static_cast<decltype(ts->tv_sec)>(ns / NS_PER_SEC);
        ts->tv_nsec = static_cast<decltype(ts->tv_nsec)>(ns % NS_PER_SEC);
        t_ns += uniform(os_delay_min_ns, os_delay_max_ns);
        return true;
    }

    void sleep(double seconds)
    {
        sleeps.push_back(seconds);
        if (before_sleep)
            before_sleep(seconds);
        if (seconds > 0)
            t_ns += std::llround(seconds * 1e9);
        t_ns += uniform(0, sleep_overshoot_max_ns);
        if (after_sleep)
            after_sleep(seconds);
    }

    // A 1 MHz TSC read without delay, whose ticks are the OS clock's
    // microseconds minus a constant: conversions with slope 1.0 are exact.
    static std::unique_ptr<sim_clock> exact_1mhz()
    {
        auto c = std::make_unique<sim_clock>();
        c->tsc_base = 5000000;
        c->tsc_num = 1;
        c->tsc_den = 1000;
        c->os_base_ns = 1700000000 * NS_PER_SEC; // whole microseconds
        return c;
    }

    // The intercept with which slope 1.0 converts this 1 MHz TSC to the OS clock exactly.
    int64 exact_intercept() const
    {
        return os_ns_at(0) / 1000 - static_cast<int64>(tsc_at(0));
    }
};

inline sim_clock *current = nullptr;

inline uint64 read_tsc_trampoline(void) { return current->read_tsc(); }
inline int read_os_trampoline(struct timeval *tv)
{
    current->read_os(tv);
    return 0;
}
inline int read_mono_trampoline(struct timespec *ts)
{
    current->read_mono(ts);
    return 0;
}
inline int read_realtime_trampoline(struct timespec *ts)
{
    current->read_realtime(ts);
    return 0;
}
inline int read_raw_trampoline(struct timespec *ts) { return current->read_raw(ts) ? 0 : -1; }
inline void sleep_trampoline(double seconds) { current->sleep(seconds); }

// Points the discipline's clocks and the host's sleep at a sim_clock for its lifetime.
class installed {
public:
    explicit installed(sim_clock &clock)
        : saved_clocks_(discipline_clock::active), saved_sleep_(vek_base_sleep)
    {
        current = &clock;
        discipline_clock::active = {read_tsc_trampoline, read_os_trampoline, read_mono_trampoline,
                                    read_realtime_trampoline, read_raw_trampoline};
        vek_base_sleep = sleep_trampoline;
    }
    ~installed()
    {
        discipline_clock::active = saved_clocks_;
        vek_base_sleep = saved_sleep_;
        current = nullptr;
    }
    installed(const installed &) = delete;
    installed &operator=(const installed &) = delete;

private:
    discipline_clock::clock_source saved_clocks_;
    VEK_BASE_SLEEP_T saved_sleep_;
};

// All loop-state globals back to their load-time zeros.
inline void reset_loop_globals()
{
    tsci2_state = 0;
    tsci2_last_time = 0;
    tsci2_last_offset = 0;
    tsci2_jitter = 0.0;
    tsci2_stability = 0.0;
    tsci2_poll_factor = 0;
    tsci2_poll_timer = 0;
    tsci2_hold_timer = 0;
}

// The calibrated clock minus the OS clock, nanoseconds (positive: the
// calibrated clock ahead); NaN while no record is in force.  At full
// precision: the record in force carried in long double
// (calib::line_tsc_to_ns) against the OS clock's integer nanoseconds.
inline double calibrated_error_ns(const sim_clock &clock, const calibration_context_t *context)
{
    calib::line l;
    if (!calib::record_in_force(context, &l))
        return NAN;
    return static_cast<double>(calib::line_tsc_to_ns(l, clock.tsc_now()) - static_cast<long double>(clock.os_ns_now()));
}

// A zeroed context on the heap (16408 bytes).
inline std::unique_ptr<calibration_context_t> zeroed_context()
{
    return std::make_unique<calibration_context_t>();
}

// The whole discipline on the machine of the long runs: a 3 GHz TSC, an OS
// clock of 1 microsecond resolution read with a few hundred nanoseconds of
// random (seeded) delay, running 40 ppm fast against the TSC, and a
// scheduler that wakes up to 100 us late.  on_check sees the calibrated
// clock's error at the end of every one-second sleep and after every cycle:
// the two ends of each stretch over which the record in force stays the same.
// The fine machine has the figures measured on a real one instead: a
// (TSC, clock_gettime, clock_gettime, TSC) bracket 20 to 60 ns wide, each
// clock_gettime resolving 1 ns (gettimeofday keeps its microsecond).
enum class machine { coarse, fine };

class simulated_run {
public:
    // `start`: run the initial calibration now (else call start() later,
    // once the clock's hooks are set).
    explicit simulated_run(uint64 seed, bool start_now = true, machine figures = machine::coarse)
    {
        reset_loop_globals();
        clock.rng.seed(seed);
        clock.tsc_base = 1000000000000ull + seed * 7777777ull; // a machine up for some minutes
        clock.tsc_num = 3;                                      // 3 GHz
        clock.tsc_den = 1;
        clock.tsc_delay_min_ns = 10;
        clock.tsc_delay_max_ns = 40;
        clock.os_delay_min_ns = 100; // before and after the OS clock's sample
        clock.os_delay_max_ns = 400;
        if (figures == machine::fine) {
            clock.tsc_delay_min_ns = 8; // a bracket of 4 OS delays and a TSC delay: 20 to 60 ns
            clock.tsc_delay_max_ns = 20;
            clock.os_delay_min_ns = 3;
            clock.os_delay_max_ns = 10;
        }
        clock.sleep_overshoot_max_ns = 100000; // the scheduler wakes up to 100 us late
        clock.rate_change_at_ns = 0;
        clock.rate_ppm = 40;
        clock.after_sleep = [this](double seconds) {
            if (seconds == static_cast<double>(DAEMON_UPDATE_INTERVAL))
                check();
        };
        use = std::make_unique<installed>(clock);
        context = zeroed_context();
        if (start_now)
            start();
    }

    // The initial calibration, then the discipline started as the thread starts it.
    void start()
    {
        tsci2_loopfilter_init(context.get());
        discipline.start(context.get());
    }

    ~simulated_run()
    {
        use.reset();
        reset_loop_globals();
    }

    double seconds() const { return static_cast<double>(clock.t_ns) / 1e9; }

    double error_us() const { return calibrated_error_ns(clock, context.get()) / 1000.0; }

    void check()
    {
        if (on_check)
            on_check(error_us(), seconds());
    }

    // One cycle of the thread; true when it polled.  Notes how far back a
    // record switch moved the clock, at the nanosecond readings' full
    // precision: at the tick now, and at a tick taken 1 ms before and
    // converted again.
    bool cycle()
    {
        const size_t before = clock.sleeps.size();
        calib::line old_line{}, new_line{};
        const bool had = calib::record_in_force(context.get(), &old_line);
        const int32_t old_idx = context->idx;
        tsci2::discipline_cycle(context.get(), discipline);
        if (had && context->idx != old_idx && calib::record_in_force(context.get(), &new_line)) {
            const uint64 now = clock.tsc_now(), ms_before = clock.tsc_at(clock.t_ns - 1000000); // taken 1 ms ago
            for (const uint64 tick : {now, ms_before}) {
                const long double back_ns = calib::line_tsc_to_ns(old_line, tick) - calib::line_tsc_to_ns(new_line, tick);
                worst_back_us = std::max(worst_back_us, static_cast<double>(back_ns * 1e-3L));
            }
        }
        check();
        return clock.sleeps.size() - before > 1;
    }

    // Cycles until the simulated time reaches `end_s`; returns the polls made.
    int run_until(double end_s)
    {
        int polls = 0;
        while (seconds() < end_s)
            polls += cycle() ? 1 : 0;
        return polls;
    }

    sim_clock clock;
    std::unique_ptr<calibration_context_t> context;
    tsci2::tsc_discipline discipline;
    std::function<void(double error_us, double t_s)> on_check;
    double worst_back_us = 0; // the most a record switch moved the clock back

private:
    std::unique_ptr<installed> use;
};

} // namespace sim

#endif // YALTIME_TESTS_DISCIPLINE_SIM_CLOCK_H
