// The disturbance sweep: each kind of disturbance a machine inflicts on the
// discipline, tried over its range of sizes in simulated time, on the
// machine of sim::simulated_run (3 GHz TSC, an OS clock of 1 us resolution
// read with a few hundred ns of delay, running 40 ppm fast against the TSC;
// a raw monotonic clock that runs at true time).  Every case runs for hours,
// and the calibrated clock's error is held to the bounds its kind promises.
// In every case no record switch moves the clock back by more than 1 ns,
// judged at the nanosecond readings' full precision, unless the OS clock
// stepped back (then by no more than that step) or the TSC jumped forward
// (then by no more than that jump):
//
//   OS clock stepped while running, 1 ms to a day:  <= 100 us from 3 s after,
//                                    within 5 us for good within 120 s
//   stepped by less than 1 ms:       within 5 us for good within 600 s
//   OS clock stepped or TSC jumped inside the initial calibration:
//                                    <= 100 us from 20 s after the start,
//                                    within 5 us for good within 600 s
//   OS clock slewed at r ppm, 1 to 100000 ppm, 0.12 s to an hour, also
//   from inside the start-up second:
//                                    no step (but the first poll's),
//                                    <= r * 2.5 s + 1 us while it lasts
//                                    and 3 s after,
//                                    <= 1 us from 10 s after its end
//   TSC jumped while running, 100 us to an hour: <= 100 us from 3 s after;
//   also inside the discipline's first second: one step at most (and the first poll's)
//   suspended to idle, 0.5 s to a day: no step, <= 1 us from 3 s after waking
//   OS clock stepped 1.5 s into a slew: by the step only, <= 1 us from 10 s after
//   no raw clock (the monotonic clock the only witness of a TSC jump):
//                                    quiet, a TSC jump and a slew followed
//   TSC rate changed, 0.01 % to 50 %: no step, <= 1 us from 30 s after
//   quiet, or preempted readings:    no step but the first; p99 <= 2.5 us
//                                    from 20 minutes on
//   the OS clocks' rate moving for 3 h (a daemon's random walk of 0.05, 0.2,
//   0.5 and 1 ppm every 64 s, +5 ppm over 10 min, -5 ppm over 2 min, a
//   +-3 ppm sine of 15 min):
//                                    no step but the first, no record switch
//                                    moving the clock back more than 1 ns,
//                                    p99 <= 0.5 us and max <= 1 us (1 and 3
//                                    for the 0.5 and 1 ppm walks, p99 1 for
//                                    the ramps and the sine) from 20 minutes on
//   a busy machine (10 to 60 % of readings preempted, a scheduler 1 ms late):
//                                    p99 <= 1 us, max <= 5 us
//   OS clock stepped inside a poll's sub-samples, 10 us to a day either way:
//                                    one step, <= 100 us from 1 s after
//   the real machine's figures (sim::machine::fine: 20 to 60 ns brackets),
//   quiet and the 0.2 ppm walks:     no record switch moving the clock back
//                                    more than 1 ns at full precision;
//                                    quiet p99 <= 20 ns from 20 minutes on
//
// The summary, one row per kind with its worst case, is printed:
//   discipline_test --gtest_filter=DisciplineDisturbances.*
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <iostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "sim_clock.h"
#include "time/calibration.h"
#include "time/tsci2_loopfilter_internal.h"

namespace {

constexpr int64 SEC = sim::NS_PER_SEC;
constexpr double HOUR_S = 3600.0;
constexpr double RUNNING_AT_S = 1800.0; // running disturbances: after half an hour, well settled
constexpr double RUN_AFTER_S = 2 * HOUR_S;
constexpr double GOOD_US = 5.0;
constexpr double LATE_FROM_S = 1200.0; // p99 and max are taken from 20 minutes on
constexpr double LONG_RUN_S = 3 * HOUR_S;
// The most a record switch may move the clock back where nothing jumped
// back, judged at full precision (the rounding of a long double at today's
// date is 0.125 ns).
constexpr double NEVER_BACK_US = 0.001;
// The most a record switch may move the clock back after the OS clock was
// set back by `ms`, or after the TSC jumped forward by `ms` worth of ticks
// (read at the simulated OS clock's rate, 40 ppm fast); NEVER_BACK_US else.
double back_bound_us(double ms, bool tsc = false)
{
    const bool may_go_back = tsc ? ms > 0 : ms < 0;
    return may_go_back ? std::fabs(ms) * 1e3 * (tsc ? 1.00004 : 1.0) + NEVER_BACK_US : NEVER_BACK_US;
}

// One case: when, what, how long it lasts, and the bounds its kind promises.
struct sweep_case {
    std::string kind;
    std::string size;
    double at_s;       // simulated time; 0: at the `at_sleep`-th sleep of the initial calibration
    int at_sleep;      // 0 the calibration second, 1..10 the sub-samples' sleeps
    std::function<void(sim::sim_clock &)> apply;
    double lasts_s;    // a slew's length; bounds after it count from its end
    double during_us;  // |error| bound while it lasts and 3 s after (0: none)
    double near_s;     // |error| <= near_us from this long after its end (or after the start)
    double near_us;    //   (0: not checked)
    double good_s;     // within 5 us for good this soon after its end (-1: not checked)
    int max_steps;     // steps from the disturbance on (the first poll's included); -1: any
    double p99_us;     // p99 of |error| from 20 minutes on (0: not checked)
    double max_us = 0; // max |error| from 20 minutes on (0: not checked)
    // Most a record switch may move the clock back, judged at the
    // nanosecond readings' full precision: 1 ns unless the OS clock stepped
    // back or the TSC jumped forward, and then by no more than that (back_bound_us).
    double back_us = NEVER_BACK_US;
    double run_s = RUN_AFTER_S; // how long the run goes on after the disturbance
    int min_steps = 0;
    bool raw = true; // the kernel has a raw monotonic clock
    bool fine = false; // the real machine's figures (sim::machine::fine)
    bool fork = false; // after the disturbance's first cycle a fork's child disciplines the context
};

struct outcome {
    double during_us = 0; // worst |error| while it lasted
    double near_us = 0;   // worst |error| from near_s after its end
    double good_s = 0;    // last time |error| was beyond 5 us, after its end
    int steps = 0;
    double p99_us = 0;
    double max_us = 0;
    double back_us = 0;
};

// A run of the simulated machine with one disturbance, and its figures.
class sweep_run {
public:
    explicit sweep_run(const sweep_case &c) : c_(c), run_(7, false, c.fine ? sim::machine::fine : sim::machine::coarse)
    {
        run_.clock.has_raw = c.raw;
        // At the start: at the at_sleep-th sleep of the initial calibration.
        // While running: at the at_sleep-th sub-sample sleep after at_s.
        run_.clock.before_sleep = [this](double seconds) {
            if (applied_)
                return;
            if (c_.at_s == 0 && sleeps_++ == c_.at_sleep)
                apply();
            if (c_.at_s > 0 && c_.at_sleep > 0 && run_.seconds() >= c_.at_s && seconds == SUB_SAMPLE_INTERVAL_SECS &&
                ++sleeps_ == c_.at_sleep)
                apply();
        };
        run_.on_check = [this](double error_us, double t_s) { check(std::fabs(error_us), t_s); };
    }

    outcome run()
    {
        run_.start();
        while (run_.seconds() < c_.at_s + c_.run_s) {
            if (!applied_ && run_.seconds() >= c_.at_s && c_.at_sleep == 0)
                apply();
            run_.cycle();
            if (c_.fork && applied_ && !forked_) {
                forked_ = true; // the child's thread starts afresh on the records it inherited
                run_.discipline = tsci2::tsc_discipline{};
                run_.discipline.start_inherited(run_.context.get());
            }
        }
        std::sort(late_.begin(), late_.end());
        if (!late_.empty()) {
            o_.p99_us = late_[late_.size() * 99 / 100];
            o_.max_us = late_.back();
        }
        o_.back_us = run_.worst_back_us;
        o_.steps = run_.context->stepcount - steps_before_;
        return o_;
    }

private:
    void apply()
    {
        applied_ = true;
        from_s_ = run_.seconds();
        steps_before_ = run_.context->stepcount;
        c_.apply(run_.clock);
    }

    void check(double e, double t)
    {
        if (!applied_ || std::isnan(e))
            return;
        const double end_s = from_s_ + c_.lasts_s;
        if (t < end_s + 3) // a slew's end is a rate change too, seen a cycle later
            o_.during_us = std::max(o_.during_us, e);
        if (t >= (c_.at_s == 0 ? 0.0 : end_s) + c_.near_s)
            o_.near_us = std::max(o_.near_us, e);
        if (e > GOOD_US)
            o_.good_s = std::max(o_.good_s, t - end_s);
        if (t >= LATE_FROM_S)
            late_.push_back(e);
    }

    const sweep_case &c_;
    sim::simulated_run run_;
    bool applied_ = false;
    bool forked_ = false;
    int sleeps_ = 0;
    double from_s_ = 0;
    int steps_before_ = 0;
    outcome o_;
    std::vector<double> late_;
};

std::string fixed(double value, int decimals)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    return buf;
}

std::string signed_size(double value, const char *unit)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, "%+g %s", value, unit);
    return buf;
}

// The cases: a list of sizes per kind of disturbance, and a loop over it.
std::vector<sweep_case> sweep_cases()
{
    std::vector<sweep_case> cases;
    const auto os_step = [](double ms) {
        return [ms](sim::sim_clock &c) { c.os_step_ns += std::llround(ms * 1e6); };
    };
    for (double ms : {0.01, 0.1, 0.5, 1.0, 5.0, 20.0, 50.0, 127.0, 129.0, 1000.0, 10000.0, 3600000.0, 86400000.0}) {
        for (double sign : {1.0, -1.0}) {
            const bool small = ms < 1.0;
            cases.push_back({small ? "OS clock stepped by less than 1 ms" : "OS clock stepped, 1 ms to a day",
                             signed_size(sign * ms, "ms"), RUNNING_AT_S, 0, os_step(sign * ms), 0, 0, 3,
                             small ? 0.0 : 100.0, small ? 600.0 : 120.0, -1, 0, 0, back_bound_us(sign * ms)});
        }
    }
    // Inside the initial calibration: the calibration second, a sub-sample's
    // sleep, the last sub-sample's sleep (before the second slope's end).
    for (int at_sleep : {0, 5, 10}) {
        for (double ms : {-5.0, -510.0, -1000.0, -3600000.0, 300.0, 1000.0, 3600000.0})
            cases.push_back({"OS clock stepped at start", signed_size(ms, "ms") + " at sleep " + std::to_string(at_sleep),
                             0, at_sleep, os_step(ms), 0, 0, 20, 100, 600, -1, 0, 0, back_bound_us(ms)});
        const std::tuple<const char *, double, std::function<void(sim::sim_clock &)>> jumps[] = {
            {"+1 h", 3.6e6, [](sim::sim_clock &c) { c.tsc_step_ticks += 3600 * 3 * SEC; }},
            {"+1 s", 1e3, [](sim::sim_clock &c) { c.tsc_step_ticks += 3 * SEC; }},
            {"-10 s", -1e4, [](sim::sim_clock &c) { c.tsc_step_ticks -= 10 * 3 * SEC; }},
            {"reset to 1e6", -1, [](sim::sim_clock &c) { c.tsc_step_ticks -= static_cast<int64>(c.tsc_now()) - 1000000; }},
        };
        for (const auto &[name, ms, jump] : jumps)
            cases.push_back({"TSC jumped at start", std::string(name) + " at sleep " + std::to_string(at_sleep), 0,
                             at_sleep, jump, 0, 0, 20, 100, 600, -1, 0, 0, back_bound_us(ms, true)});
    }
    // A time daemon's slews of both OS clocks, the raw clock untouched:
    // ntpd's and adjtime()'s 500 ppm, chrony's fastest 83333 ppm, for 2, 20
    // and 200 s; every rate from 1 to 100000 ppm; short ones; and from
    // inside the start-up second.  A slew is a rate, never a jump: no step,
    // no move back, and the error before each correction is what the slew
    // moved the OS clock in a cycle or two (2.5 s, with a scheduler late).
    const auto slewing = [](double ppm, double s, double at_s) {
        const auto p = static_cast<int64>(ppm);
        return sweep_case{"OS clock slewed, 1 to 100000 ppm", signed_size(ppm, "ppm") + " for " + fixed(s, 2) + " s" +
                                                                 (at_s == 0 ? " from the start-up second" : ""),
                          at_s, 0, [p, s](sim::sim_clock &c) { c.slew(p, s); }, s, std::fabs(ppm) * 2.5 + 1, 10, 1,
                          120, at_s == 0 ? 1 : 0, 0};
    };
    for (double ppm : {500.0, -500.0, 83333.0, -83333.0})
        for (double seconds : {2.0, 20.0, 200.0})
            cases.push_back(slewing(ppm, seconds, RUNNING_AT_S));
    for (double ppm : {1.0, -1.0, 10.0, -10.0, 100.0, -100.0, 1000.0, -1000.0, 10000.0, -10000.0, 100000.0, -100000.0})
        cases.push_back(slewing(ppm, 20, RUNNING_AT_S));
    for (const auto &[ppm, seconds] : {std::pair{83333.0, 0.12}, {-83333.0, 0.3}, {-83333.0, 0.6}, {83333.0, 5.0},
                                       {-10000.0, 10.0}, {-5000.0, 60.0}, {1000.0, 100.0}, {500.0, 30.0},
                                       {-500.0, 600.0}, {50.0, HOUR_S}})
        cases.push_back(slewing(ppm, seconds, RUNNING_AT_S));
    for (double ppm : {83333.0, -83333.0, 500.0})
        cases.push_back(slewing(ppm, 3, 0));
    // A fork's child 0.5 s into a slew, its parent's catch-up record in force: continued, no step.
    cases.push_back(slewing(83333, 5, RUNNING_AT_S));
    cases.back().size += ", a fork's child 0.5 s in";
    cases.back().apply = [](sim::sim_clock &c) { c.slew(83333, 5), c.slew_from_ns += SEC / 2, c.slew_until_ns += SEC / 2; };
    cases.back().fork = true;
    // The TSC jumped while running, and inside the discipline's first second
    // (before its first cycle has measured the TSC's rate against the raw
    // clock): stepped, followed; a jump forward is the one that may move the
    // clock back (it was wrong), and no later cycle steps back for it.
    const std::tuple<const char *, double, double, double, std::vector<double>> tsc_jumps[] = {
        {"TSC jumped while running", RUNNING_AT_S, 3, 120, {0.1, -0.1, 1.0, -1.0, 1000.0, -1000.0, 3600000.0}},
        {"TSC jumped in the discipline's first second", 0.5, 20, 600,
         {0.1, -0.1, 10.0, -10.0, 500.0, -500.0, 1000.0, -10000.0, 3600000.0}}};
    for (const auto &[kind, at_s, after_s, good_s, sizes] : tsc_jumps)
        for (double ms : sizes) {
            const auto ticks = std::llround(ms * 3e6);
            cases.push_back({kind, signed_size(ms, "ms"), at_s, 0, [ticks](sim::sim_clock &c) { c.tsc_step_ticks += ticks; },
                             0, 0, after_s, 100, good_s, 2, 0, 0, back_bound_us(ms, true)});
        }
    // Suspend to idle: the TSC and the real-time clock run on, the
    // monotonic and raw clocks stand still.  The clock is right on waking.
    for (double s : {0.5, 5.0, 60.0, 600.0, HOUR_S, 24 * HOUR_S})
        cases.push_back({"suspended to idle", fixed(s, 1) + " s", RUNNING_AT_S, 0,
                         [s](sim::sim_clock &c) { c.suspend(s); }, s, 0, 3, 1, 120, 0, 0, 0, NEVER_BACK_US,
                         s + RUN_AFTER_S});
    // An OS step 1.5 s into a slew, the catch-up still owed: the clock
    // moves by the step, not by the step and the rest of the catch-up.
    for (double ppm : {-83333.0, 83333.0, -500.0})
        for (double ms : {-10.0, 10.0, -1000.0}) {
            const auto p = static_cast<int64>(ppm);
            const auto step_ns = std::llround(ms * 1e6);
            cases.push_back({"OS clock stepped while a catch-up is owed",
                             signed_size(ms, "ms") + " into " + signed_size(ppm, "ppm") + " for 3 s", RUNNING_AT_S, 0,
                             [p, step_ns](sim::sim_clock &c) {
                                 c.slew(p, 3);
                                 c.before_os_sample = [&c, at = c.t_ns + 1500000000, left = step_ns]() mutable {
                                     if (c.t_ns >= at)
                                         c.os_step_ns += std::exchange(left, int64{0});
                                 };
                             },
                             3, 0, 10, 1, 120, 1, 0, 0, back_bound_us(ms)});
        }
    // A kernel without a raw clock: the monotonic clock alone tells TSC
    // jumps, as before, so a slew faster than 64 ppm is stepped there.
    cases.push_back({"no raw clock", "quiet", 0, 0, [](sim::sim_clock &) {}, 0, 0, 20, 0, -1, 1, 2.5});
    cases.push_back({"no raw clock", "TSC jumped +1 s", RUNNING_AT_S, 0,
                     [](sim::sim_clock &c) { c.tsc_step_ticks += 3 * SEC; }, 0, 0, 3, 100, 120, 2, 0, 0,
                     back_bound_us(1000, true)});
    cases.push_back({"no raw clock", "-500 ppm for 20 s", RUNNING_AT_S, 0,
                     [](sim::sim_clock &c) { c.slew(-500, 20); }, 20, 0, 3, 100, 120, -1, 0, 0});
    for (sweep_case &c : cases)
        c.raw = c.kind != "no raw clock";
    // A TSC rate change is a rate: no step, never back, within 1 us 30 s
    // after (2.4 to 2.6 GHz is +8.3333 %, 2.6 to 2.4 GHz -7.6923 %); also
    // inside the discipline's first second (the first poll's step counts).
    const auto tsc_rate = [](int64 ppm) {
        return [ppm](sim::sim_clock &c) {
            c.tsc_rate_change_at_ns = c.t_ns;
            c.tsc_rate_ppm = ppm;
        };
    };
    for (double percent : {0.01, 0.03, 0.1, 0.3, 1.0, 3.0, 7.6923, 8.3333, 10.0, 30.0, 50.0})
        for (double sign : {1.0, -1.0})
            cases.push_back({"TSC rate changed, 0.01 % to 50 %", signed_size(sign * percent, "%"), RUNNING_AT_S, 0,
                             tsc_rate(std::llround(sign * percent * 1e4)), 0, 0, 30, 1, 30, 0, 0});
    for (double percent : {-30.0, 8.3333})
        cases.push_back({"TSC rate changed, 0.01 % to 50 %", signed_size(percent, "%") + " in the first second", 0.5, 0,
                         tsc_rate(std::llround(percent * 1e4)), 0, 0, 30, 1, 30, 1, 0});
    // Quiet runs and preempted readings: the first poll's step and no other.
    const auto none = [](sim::sim_clock &) {};
    cases.push_back({"quiet or preempted", "quiet", 0, 0, none, 0, 0, 20, 0, -1, 1, 2.5});
    return cases;
}

// Preemptions: the thread delayed between a TSC reading and the OS clock
// reading after it, in the first readings of the slope pair, or in three
// checks in a row while running.
void add_preemptions(std::vector<sweep_case> &cases)
{
    const auto preempt = [](int count, int64 ns) {
        return [count, ns](sim::sim_clock &c) {
            auto left = std::make_shared<int>(count);
            c.before_os_sample = [&c, left, ns] {
                if (*left > 0) {
                    --*left;
                    c.t_ns += ns;
                }
            };
        };
    };
    cases.push_back({"quiet or preempted", "10 ms in the slope pair's first readings", 0, 0, preempt(5, 10000000), 0, 0,
                     20, 0, -1, 1, 2.5});
    cases.push_back({"quiet or preempted", "200 ms in 3 checks' readings", RUNNING_AT_S, 0, preempt(9, 200000000), 0,
                     0, 3, 0, -1, 0, 2.5});
    // Preempted at the two TSC readings before a record is published (the
    // 4th and 5th since the OS clock was read), every cycle of a -83333 ppm slew.
    const auto before_publication = [](int64 ns) {
        return [ns](sim::sim_clock &c) {
            c.slew(-83333, 5);
            auto reads = std::make_shared<int>(0);
            c.before_os_sample = [reads] { *reads = 0; };
            c.before_tsc_sample = [&c, reads, ns] { c.t_ns += ++*reads == 4 || *reads == 5 ? ns : 0; };
        };
    };
    for (const int64 ms : {10, 1000})
        cases.push_back({"preempted before publication", std::to_string(ms) + " ms twice a cycle, -83333 ppm slew",
                         RUNNING_AT_S, 0, before_publication(ms * 1000000), 5, 0, 0, 0, -1, 0, 0, 0, NEVER_BACK_US, 600});
}

// What a rate that moves for ever has added to the OS clocks by t, ns.
using wander = std::function<double(int64 t_ns)>;

// A time daemon's steering: every 64 s the rate moves by a normal draw.
wander random_walk(double sigma_ppm, uint64 seed)
{
    constexpr int64 EVERY_NS = 64 * SEC;
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> move(0.0, sigma_ppm);
    auto rate_ppm = std::make_shared<std::vector<double>>();
    auto offset_ns = std::make_shared<std::vector<double>>();
    double rate = 0, offset = 0;
    for (int k = 0; k < 4 * 3600 / 64; ++k) {
        rate_ppm->push_back(rate);
        offset_ns->push_back(offset);
        offset += rate * 1e-6 * static_cast<double>(EVERY_NS);
        rate += move(rng);
    }
    return [rate_ppm, offset_ns](int64 t) {
        const auto k = std::min(static_cast<size_t>(t / EVERY_NS), rate_ppm->size() - 1);
        return (*offset_ns)[k] + (*rate_ppm)[k] * 1e-6 * static_cast<double>(t - static_cast<int64>(k) * EVERY_NS);
    };
}

// A crystal warming: the rate rises by ppm over `over_s` from `from_s`, then stays.
wander ramp(double ppm, double from_s, double over_s)
{
    return [=](int64 t) {
        const double s = static_cast<double>(t) / 1e9 - from_s;
        const double rising = std::clamp(s, 0.0, over_s);
        return ppm * 1e3 * (rising * rising / (2 * over_s) + std::max(0.0, s - over_s));
    };
}

// A rate swinging by +-ppm over a period.
wander sine(double ppm, double period_s)
{
    return [=](int64 t) {
        const double w = 2 * M_PI / period_s;
        return ppm * 1e3 / w * (1 - std::cos(w * static_cast<double>(t) / 1e9));
    };
}

// The OS clocks' rate never still, on a quiet and on a busy machine (10 % of
// readings preempted for up to 50 us, a scheduler up to 1 ms late); and an
// OS step inside a poll's sub-samples, of any size either way.
void add_moving_rates(std::vector<sweep_case> &cases)
{
    const auto moving = [](wander w) { return [w](sim::sim_clock &c) { c.wander_ns = w; }; };
    const auto busy = [](wander w, int percent) {
        return [w, percent](sim::sim_clock &c) {
            c.wander_ns = w;
            c.sleep_overshoot_max_ns = 1000000;
            c.before_os_sample = [&c, percent] {
                if (c.uniform(1, 100) <= percent)
                    c.t_ns += c.uniform(0, 50000);
            };
        };
    };
    const struct {
        std::string size;
        std::function<void(sim::sim_clock &)> apply;
        double p99_us, max_us;
        bool busy = false;
        bool fine = false;
    } rows[] = {
        {"quiet", moving(nullptr), 0.5, 1},
        {"random walk 0.05 ppm / 64 s", moving(random_walk(0.05, 1)), 0.5, 1},
        {"random walk 0.2 ppm / 64 s", moving(random_walk(0.2, 2)), 0.5, 1},
        {"random walk 0.2 ppm / 64 s, another", moving(random_walk(0.2, 3)), 0.5, 1},
        {"random walk 0.5 ppm / 64 s", moving(random_walk(0.5, 11)), 1, 3},
        {"random walk 1 ppm / 64 s", moving(random_walk(1.0, 4)), 1, 3},
        {"random walk 1 ppm / 64 s, another", moving(random_walk(1.0, 5)), 1, 3},
        {"+5 ppm over 10 min", moving(ramp(5, RUNNING_AT_S, 600)), 1, 0},
        {"+-3 ppm sine, 15 min", moving(sine(3, 900)), 1, 0},
        {"-5 ppm over 2 min", moving(ramp(-5, RUNNING_AT_S, 120)), 1, 0},
        {"10 % preempted, quiet", busy(nullptr, 10), 1, 5, true},
        {"10 % preempted, random walk 0.2 ppm / 64 s", busy(random_walk(0.2, 6), 10), 1, 5, true},
        {"30 % preempted, random walk 0.2 ppm / 64 s", busy(random_walk(0.2, 8), 30), 1, 5, true},
        {"60 % preempted, random walk 0.2 ppm / 64 s", busy(random_walk(0.2, 7), 60), 1, 5, true},
        {"10 % preempted, random walk 1 ppm / 64 s", busy(random_walk(1.0, 10), 10), 1, 5, true},
        {"quiet", moving(nullptr), 0.020, 0, false, true},
        // Read once a second, the second after the rate turns is off by what
        // the turn moved in it: about 115 ns p99 today, held to 150 ns.
        {"random walk 0.2 ppm / 64 s", moving(random_walk(0.2, 2)), 0.150, 0, false, true},
        {"random walk 0.2 ppm / 64 s, another", moving(random_walk(0.2, 3)), 0.150, 0, false, true},
    };
    for (const auto &row : rows) {
        cases.push_back({row.busy   ? "busy machine (up to 50 us), rate moving"
                         : row.fine ? "OS clock's rate moving, the real machine's figures"
                                    : "OS clock's rate moving",
                         row.size, 0, 0, row.apply, 0, 0, 20, 0, -1, 1, row.p99_us, row.max_us, NEVER_BACK_US, LONG_RUN_S});
        cases.back().fine = row.fine;
    }
    const auto os_step = [](double ms) {
        return [ms](sim::sim_clock &c) { c.os_step_ns += std::llround(ms * 1e6); };
    };
    for (int at_sleep : {1, 5, 10})
        for (double size_ms : {0.01, 0.1, 1.0, 10.0, 127.0, 129.0, 500.0, 10000.0, 3600000.0, 86400000.0})
            for (double ms : {size_ms, -size_ms})
                cases.push_back({"OS clock stepped inside a poll", signed_size(ms, "ms") + " at sub-sample " +
                                 std::to_string(at_sleep), RUNNING_AT_S, at_sleep, os_step(ms), 0, 0, 1.0, 100, -1,
                             1, 0, 0, back_bound_us(ms), HOUR_S, 1});
}

struct kind_summary {
    std::string kind;
    int cases = 0;
    double during_share = -1; // worst |error| while it lasted, as a share of its bound
    double near_us = 0;
    double good_s = 0;
    int steps = 0;
    double p99_us = 0;
    double max_us = -1; // over the cases that bound it
    double back_us = -1;
};

TEST(DisciplineDisturbances, EveryKindOverItsSizesKeepsItsBounds)
{
    std::vector<sweep_case> cases = sweep_cases();
    add_preemptions(cases);
    add_moving_rates(cases);
    std::vector<kind_summary> summary;
    for (const sweep_case &c : cases) {
        sweep_run run(c);
        const outcome o = run.run();
        const std::string what = c.kind + ": " + c.size;
        if (c.during_us > 0) {
            EXPECT_LE(o.during_us, c.during_us) << what;
        }
        if (c.near_us > 0) {
            EXPECT_LE(o.near_us, c.near_us) << what << " (from " << c.near_s << " s after)";
        }
        if (c.good_s >= 0) {
            EXPECT_LE(o.good_s, c.good_s) << what;
        }
        if (c.max_steps >= 0) {
            EXPECT_LE(o.steps, c.max_steps) << what;
        }
        if (c.p99_us > 0) {
            EXPECT_LE(o.p99_us, c.p99_us) << what;
        }
        if (c.max_us > 0) {
            EXPECT_LE(o.max_us, c.max_us) << what;
        }
        EXPECT_LE(o.back_us, c.back_us) << what;
        EXPECT_GE(o.steps, c.min_steps) << what;

        auto row = std::find_if(summary.begin(), summary.end(), [&](const kind_summary &k) { return k.kind == c.kind; });
        if (row == summary.end())
            row = summary.insert(summary.end(), kind_summary{c.kind});
        kind_summary &k = *row;
        ++k.cases;
        if (c.during_us > 0)
            k.during_share = std::max(k.during_share, o.during_us / c.during_us);
        k.near_us = std::max(k.near_us, o.near_us);
        k.good_s = std::max(k.good_s, o.good_s);
        k.steps = std::max(k.steps, o.steps);
        k.p99_us = std::max(k.p99_us, o.p99_us);
        if (c.max_us > 0)
            k.max_us = std::max(k.max_us, o.max_us);
        k.back_us = std::max(k.back_us, o.back_us);
        if (std::getenv("SWEEP_ROWS"))
            std::cout << what << ": during " << fixed(o.during_us, 1) << " p99 " << fixed(o.p99_us, 3) << " max "
                      << fixed(o.max_us, 3) << " near "
                      << fixed(o.near_us, 1) << " back " << fixed(o.back_us * 1e3, 3) << " ns steps " << o.steps << "\n";
    }
    EXPECT_GE(cases.size(), 150u);

    std::cout << "| disturbance | cases | while a slew lasts and 3 s after: worst error / what it moves in 2.5 s | worst error from 3 s "
                 "after (slews: 10 s; start: 20 s) | within 5 us for good after | most steps | worst p99 from 20 min | worst max "
                 "from 20 min | most moved back at a record switch |\n"
              << "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const kind_summary &k : summary) {
        std::cout << "| " << k.kind << " | " << k.cases << " | "
                  << (k.during_share >= 0 ? fixed(k.during_share, 2) : "-") << " | "
                  << fixed(k.near_us, 1) << " us | " << fixed(k.good_s, 0) << " s | " << k.steps << " | "
                  << fixed(k.p99_us, 2) << " us | " << (k.max_us >= 0 ? fixed(k.max_us, 2) + " us" : "-") << " | "
                  << (k.back_us >= 0 ? fixed(k.back_us * 1e3, 3) + " ns" : "-") << " |\n";
    }
}

} // namespace
