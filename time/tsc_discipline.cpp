/*
 * tsc_discipline.cpp - the discipline: the OS clock's phase and rate
 * estimated from one narrow reading a cycle, and followed without a jump.
 *
 * Why a windowed least-squares line and not the loop filter or a Kalman
 * filter.  The clock must stay within a fraction of a microsecond while the
 * OS clock's rate moves (a time daemon changes it at every update, by up to
 * a part per million; a crystal follows its temperature).  Once a cycle
 * there is one reading, uncertain by a fraction of its width (tens of ns on
 * a quiet machine).  A rate change of r ppm shows as an offset growing by r
 * microseconds a second, and only a correction within a cycle or two keeps
 * the error below a microsecond.  A fit over the readings since the last
 * change has the best rate while the rate holds (its error falls with the
 * window's length); a reading that the line does not predict, by more than
 * DISCIPLINE_CHANGE_SIGMAS of the recent prediction noise, marks a change,
 * and the window starts again from the reading before it.  A Kalman filter
 * needs the size and rate of the changes as its process noise: tuned for
 * the rare large change it is noisy in quiet running, tuned for quiet
 * running it follows a change over many cycles.  The window needs neither.
 * Readings wider than DISCIPLINE_WIDTH_LIMIT_NS are dropped, narrower ones
 * are weighted by their width.
 *
 * Which clock tells what.  A reading takes, between two TSC readings, the
 * real-time clock and the monotonic clock, each at its call's middle (a
 * quarter and three quarters into the bracket), and right after them the
 * raw monotonic clock before a third TSC reading.
 *   - Real-time minus monotonic changed: the OS clock was set.  Step.
 *   - The raw clock against the ticks: the raw clock runs at the hardware's
 *     rate, and no daemon's slew or frequency correction touches it.  A
 *     disagreement beyond DISCIPLINE_TSC_JUMP_NS over a cycle is a TSC jump
 *     or a new TSC rate, and one reading cannot tell which: it is followed
 *     as a rate, never stepped.  A second disagreement in a row is a new
 *     rate, measured against the raw clock, and followed as any rate
 *     change; a next reading that agrees tells a jump, stepped then where
 *     the clock is still off by more than a jump's size (a suspend, with
 *     the TSC and the real-time clock running on, leaves nothing to step).
 *     The TSC's rate against the raw clock is tracked, so a slow drift
 *     between the two is followed, not taken for a jump.
 *   - Anything else the real-time clock does is a change of its rate: a
 *     time daemon slewing it (at 500 ppm, at up to 83333 ppm) or steering
 *     its frequency.  The OS clock never goes back in a slew, so neither
 *     does this clock: the estimate follows the new rate at once, and the
 *     phase error the change left is taken up by continuations whose slope
 *     stays between half and twice the rate, however many cycles it takes.
 *     A slew is never stepped.
 * The monotonic clock moves with a daemon's slews, so where the kernel has
 * no raw clock it is the only witness of a TSC jump: a slew faster than
 * DISCIPLINE_TSC_JUMP_NS a cycle then looks like one, and a phase error
 * beyond DISCIPLINE_SLEW_LIMIT_NS is stepped.
 *
 * Records.  The intercept of a record is whole microseconds, so the line a
 * record carries is set through a pivot, the tick at which it takes over:
 * the record reads there what the record in force reads (to well under the
 * 0.25 us a double resolves at today's date), and its slope takes it to the
 * estimate one cycle later.  The intercept is rounded and the slope made to
 * pass through the pivot again, so the fraction of a microsecond lives in
 * the slope.  The pivot lies a little before the record is written when the
 * slope rises, a little after when it falls (continuation_pivot), so that no
 * tick converted just before the switch reads earlier after it.  A step
 * for a TSC jump writes the estimate itself (back, 1 us short of it); a
 * step of the OS clock moves the record in force by that step, and no
 * more: what a catch-up still owed is taken up after it as before.
 * Every record comes into force at once through calib::publish_record.
 */
#include "time/tsc_discipline.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "time/calibration.h"
#include "time/discipline_arithmetic.h"

namespace tsci2 {

namespace {

constexpr double NOISE_STEP = 0.05; /* the running median's step, relative */

/* A running median: moves by NOISE_STEP of itself toward each sample, never below `floor`. */
void track_median(double *median, double sample, double floor)
{
    *median *= sample > *median ? 1.0 + NOISE_STEP : 1.0 - NOISE_STEP;
    *median = std::fmax(*median, floor);
}

clock_reading read_clock_reading(const discipline_clock::clock_source &clocks, bool with_raw)
{
    clock_reading r;
    struct timespec realtime, mono, raw;
    r.tsc_begin = clocks.read_tsc();
    clocks.read_realtime(&realtime);
    clocks.read_mono(&mono);
    r.tsc_end = clocks.read_tsc();
    r.has_raw = with_raw && clocks.read_raw(&raw) == 0;
    r.raw_tsc_end = with_raw ? clocks.read_tsc() : r.tsc_end;
    r.realtime_ns = timespec_nsecs(realtime);
    r.mono_ns = timespec_nsecs(mono);
    r.raw_ns = r.has_raw ? timespec_nsecs(raw) : 0;
    return r;
}

uint64 bracket_ticks(const clock_reading &r) { return r.tsc_end - r.tsc_begin; }

/* The ticks at which each OS clock is taken to have been read: the middle of its call. */
uint64 realtime_tsc(const clock_reading &r) { return r.tsc_begin + bracket_ticks(r) / 4; }
uint64 mono_tsc(const clock_reading &r) { return r.tsc_begin + bracket_ticks(r) / 4 * 3; }
uint64 raw_bracket_ticks(const clock_reading &r) { return r.has_raw ? r.raw_tsc_end - r.tsc_end : 0; }
uint64 raw_tsc(const clock_reading &r) { return r.tsc_end + raw_bracket_ticks(r) / 2; }

double signed_ticks(uint64 later, uint64 earlier)
{
    return static_cast<double>(static_cast<int64>(later - earlier));
}

/* A line in microseconds through (pivot, value_us) at slope_us: whole-us intercept. */
calibration_record_t record_through(long double value_us, uint64 pivot_tsc, long double slope_us)
{
    const long double exact_intercept = value_us - slope_us * static_cast<long double>(pivot_tsc);
    const int64 intercept = double_to_int64(static_cast<double>(std::roundl(exact_intercept)));
    long double slope = slope_us;
    if (pivot_tsc != 0)
        slope = (value_us - static_cast<long double>(intercept)) / static_cast<long double>(pivot_tsc);
    return calibration_record_t{static_cast<double>(slope), intercept};
}

long double record_at_us(const calibration_record_t &r, uint64 ticks)
{
    return static_cast<long double>(ticks) * r.slope + static_cast<long double>(r.intercept);
}

} // namespace

clock_reading narrowest_clock_reading(const discipline_clock::clock_source &clocks, int count, bool with_raw)
{
    /* A reading whose raw bracket was preempted is usable only when no other
     * is: the raw clock's own bracket counts first, then the narrowest. */
    const auto worse = [](const clock_reading &a, const clock_reading &b) {
        const bool a_raw_wide = raw_bracket_ticks(a) > bracket_ticks(a) * 4;
        const bool b_raw_wide = raw_bracket_ticks(b) > bracket_ticks(b) * 4;
        return a_raw_wide != b_raw_wide ? a_raw_wide : bracket_ticks(a) > bracket_ticks(b);
    };
    clock_reading best{};
    for (int n = 0; n < count; ++n) {
        const clock_reading r = read_clock_reading(clocks, with_raw);
        if (n == 0 || worse(best, r))
            best = r;
    }
    return best;
}

/* ---- the estimate ------------------------------------------------------- */

double phase_estimate::width_ns(const clock_reading &r) const
{
    return static_cast<double>(bracket_ticks(r)) * line_.ns_per_tick;
}

double phase_estimate::raw_width_ns(const clock_reading &r) const
{
    return static_cast<double>(raw_bracket_ticks(r)) * line_.ns_per_tick;
}

void phase_estimate::start(const clock_reading &r, double slope_us_per_tick)
{
    *this = phase_estimate{};
    if (!(slope_us_per_tick > 0) || !std::isfinite(slope_us_per_tick))
        return;
    line_.ns_per_tick = slope_us_per_tick * 1000.0;
    uses_raw_ = r.has_raw;
    const double width = width_ns(r);
    typical_width_ns_ = width;
    restart_from(phase_point{realtime_tsc(r), r.realtime_ns, width});
    remember(r, width);
}

/* Real-time minus monotonic, both at the real-time clock's tick. */
static int64 os_minus_mono_ns(const clock_reading &r, double ns_per_tick)
{
    const double mono_ahead_ns = signed_ticks(mono_tsc(r), realtime_tsc(r)) * ns_per_tick;
    return wrap_sub(wrap_sub(r.realtime_ns, r.mono_ns), -double_to_int64(std::round(mono_ahead_ns)));
}

bool phase_estimate::os_stepped(const clock_reading &r, double width, int64 *step_ns) const
{
    *step_ns = wrap_sub(os_minus_mono_ns(r, line_.ns_per_tick), os_minus_mono_ns_);
    return std::fabs(static_cast<double>(*step_ns)) > DISCIPLINE_OS_STEP_MIN_NS + width + last_width_ns_;
}

/*
 * Whether the TSC disagrees with its witness over the last cycle; notes by
 * how much the ticks ran ahead of it when they do (tsc_ahead_ns_).  Before the first
 * cycle has measured the TSC's rate against the raw clock, the line's rate
 * stands in, which the initial calibration measured against the monotonic
 * clock: a slew through the start-up second may leave it off by up to
 * DISCIPLINE_FIRST_RATE_TOLERANCE, so only a larger disagreement is a jump.
 */
bool phase_estimate::tsc_jumped(const clock_reading &r, double width)
{
    double ahead_ns = 0, limit_ns = 0;
    if (uses_raw_) {
        const double raw_elapsed_ns = static_cast<double>(wrap_sub(r.raw_ns, raw_ns_));
        const bool first = !(raw_ns_per_tick_ > 0);
        const double rate = first ? line_.ns_per_tick : raw_ns_per_tick_;
        ahead_ns = signed_ticks(raw_tsc(r), raw_tsc_) * rate - raw_elapsed_ns;
        limit_ns = DISCIPLINE_TSC_JUMP_NS + raw_width_ns(r) + last_raw_width_ns_ +
                   (first ? std::fabs(raw_elapsed_ns) * DISCIPLINE_FIRST_RATE_TOLERANCE : 0.0);
    } else {
        const double mono_elapsed_ns = static_cast<double>(wrap_sub(r.mono_ns, mono_ns_));
        ahead_ns = signed_ticks(mono_tsc(r), mono_tsc_) * line_.ns_per_tick - mono_elapsed_ns;
        limit_ns = DISCIPLINE_TSC_JUMP_NS + width + last_width_ns_;
    }
    if (!(std::fabs(ahead_ns) > limit_ns))
        return false;
    tsc_ahead_ns_ = ahead_ns;
    return true;
}

/* Plausible as a new rate of the TSC against the one the line has. */
static bool plausible_rate(double rate, double against)
{
    return rate > against / DISCIPLINE_RATE_FACTOR && rate < against * DISCIPLINE_RATE_FACTOR;
}

/*
 * A TSC that disagreed with its witness a second cycle in a row runs at a
 * new rate: the rate over the last cycle, against the raw clock (the line's
 * rate scaled with it) or, without one, against the monotonic clock.  False
 * when that rate is not plausible (a second jump, not a rate).
 */
bool phase_estimate::take_new_tsc_rate(const clock_reading &r)
{
    if (uses_raw_) {
        /* Not measured yet (a new rate inside the first second): the line's
         * rate stood in for it, as tsc_jumped had it. */
        const double against = raw_ns_per_tick_ > 0 ? raw_ns_per_tick_ : line_.ns_per_tick;
        const double rate = static_cast<double>(wrap_sub(r.raw_ns, raw_ns_)) / signed_ticks(raw_tsc(r), raw_tsc_);
        if (!plausible_rate(rate, against))
            return false;
        line_.ns_per_tick *= rate / against;
        raw_ns_per_tick_ = rate;
        return true;
    }
    const double rate = static_cast<double>(wrap_sub(r.mono_ns, mono_ns_)) / signed_ticks(mono_tsc(r), mono_tsc_);
    if (!plausible_rate(rate, line_.ns_per_tick))
        return false;
    line_.ns_per_tick = rate;
    return true;
}

/*
 * The TSC's rate against the raw clock, from a reading that showed no jump:
 * the first measured outright, later ones smoothed, so that a slow drift
 * between the two (a TSC that is not the kernel's clocksource) is followed.
 */
void phase_estimate::track_raw_rate(const clock_reading &r)
{
    const double ticks = signed_ticks(raw_tsc(r), raw_tsc_);
    if (!uses_raw_ || !(ticks > 0))
        return;
    const double rate = static_cast<double>(wrap_sub(r.raw_ns, raw_ns_)) / ticks;
    if (!(raw_ns_per_tick_ > 0)) {
        if (plausible_rate(rate, line_.ns_per_tick))
            raw_ns_per_tick_ = rate;
        return;
    }
    raw_ns_per_tick_ += (rate - raw_ns_per_tick_) / DISCIPLINE_RATE_SMOOTHING;
}

void phase_estimate::remember(const clock_reading &r, double width)
{
    os_minus_mono_ns_ = os_minus_mono_ns(r, line_.ns_per_tick);
    mono_ns_ = r.mono_ns;
    mono_tsc_ = mono_tsc(r);
    raw_ns_ = r.raw_ns;
    raw_tsc_ = raw_tsc(r);
    last_raw_width_ns_ = raw_width_ns(r);
    last_width_ns_ = width;
}

void phase_estimate::restart_from(const phase_point &p)
{
    history_[0] = p;
    first_ = 0;
    count_ = 1;
    fit();
}

bool phase_estimate::is_narrow(double width_ns) const
{
    return width_ns <= DISCIPLINE_NARROW_FACTOR * typical_width_ns_;
}

void phase_estimate::restart_from_last_narrow()
{
    for (int n = count_ - 1; n >= 0; --n) {
        const phase_point &p = history_[(first_ + n) % DISCIPLINE_HISTORY];
        if (is_narrow(p.width_ns)) {
            restart_from(p);
            return;
        }
    }
    count_ = 0;
}

reading_verdict phase_estimate::take(const clock_reading &r, int64 *os_step_ns)
{
    *os_step_ns = 0;
    const double width = width_ns(r);
    if (!started() || !(width <= DISCIPLINE_WIDTH_LIMIT_NS) || r.has_raw != uses_raw_ ||
        !(raw_width_ns(r) <= DISCIPLINE_WIDTH_LIMIT_NS))
        return READING_UNTRUSTED; /* a TSC that went back gives a huge unsigned width */

    /* A disagreement with the TSC's witness is a jump or a new rate; the
     * next reading tells which: it disagrees again at a new rate, and
     * agrees after a jump.  Until then the estimate starts again from this
     * reading at the rate it has. */
    if (tsc_jumped(r, width)) {
        const bool new_rate = jumped_last_ && take_new_tsc_rate(r);
        jumped_last_ = !new_rate;
        restart_from(phase_point{realtime_tsc(r), r.realtime_ns, width});
        remember(r, width);
        return new_rate ? READING_TSC_RATE : READING_TSC_JUMP;
    }
    const bool jumped = jumped_last_;
    jumped_last_ = false;
    track_raw_rate(r);

    int64 step_ns = 0;
    const bool stepped = os_stepped(r, width, &step_ns);
    if (stepped) {
        for (int n = 0; n < count_; ++n) {
            phase_point &p = history_[(first_ + n) % DISCIPLINE_HISTORY];
            p.realtime_ns = wrap_add(p.realtime_ns, step_ns);
        }
        line_.ns += static_cast<long double>(step_ns);
        *os_step_ns = step_ns;
        os_step_uncertainty_ns_ = width + last_width_ns_;
    }

    const phase_point p{realtime_tsc(r), r.realtime_ns, width};
    const double miss_ns = static_cast<double>(static_cast<long double>(p.realtime_ns) - line_.at(p.tsc));
    /* A reading much wider than usual (the thread was interrupted inside
     * it) is uncertain by most of its width: it cannot tell a change from
     * its own error, and counts in the fit by its small weight only.  The
     * typical miss and width are tracked as running medians, so a change
     * that the test below misses for a cycle or two does not widen it. */
    const bool narrow = is_narrow(width);
    const double limit_ns = DISCIPLINE_CHANGE_SIGMAS * noise_ns_;
    const bool beyond = narrow && std::fabs(miss_ns) > limit_ns;
    const bool beyond_again = narrow && std::fabs(miss_ns) > 0.5 * limit_ns && (miss_ns > 0) == (last_miss_ns_ > 0) &&
                              std::fabs(last_miss_ns_) > 0.5 * limit_ns;
    track_median(&typical_width_ns_, width, 1.0);
    if (narrow) {
        track_median(&noise_ns_, std::fabs(miss_ns), DISCIPLINE_NOISE_FLOOR_NS);
        last_miss_ns_ = miss_ns;
    }
    if (beyond || beyond_again) {
        /* The rate changed: start again from the last narrow reading, which
         * with this one gives the new rate (a wide one would set it by its
         * own error), or from this one alone, rate kept. */
        restart_from_last_narrow();
        last_miss_ns_ = 0;
    }
    if (count_ == DISCIPLINE_HISTORY) {
        first_ = (first_ + 1) % DISCIPLINE_HISTORY;
        --count_;
    }
    history_[(first_ + count_) % DISCIPLINE_HISTORY] = p;
    ++count_;
    fit();
    remember(r, width);
    if (jumped)
        return READING_TSC_JUMPED;
    return stepped ? READING_OS_STEP : READING_IN_STEP;
}

/*
 * A reading's weight: 1 / its variance, the typical miss squared plus the
 * square of the width it has beyond the typical one (how far an interrupted
 * reading can be off).
 */
double phase_estimate::weight(const phase_point &p) const
{
    const double excess_ns = std::fmax(0.0, p.width_ns - typical_width_ns_);
    return 1.0 / (noise_ns_ * noise_ns_ + excess_ns * excess_ns);
}

/*
 * Weighted least squares over the window, in ticks and ns from the newest
 * point (small numbers, exact in doubles).  One point keeps the rate it has.
 */
void phase_estimate::fit()
{
    const phase_point &newest = history_[(first_ + count_ - 1) % DISCIPLINE_HISTORY];
    double sw = 0, sx = 0, sy = 0;
    for (int n = 0; n < count_; ++n) {
        const phase_point &p = history_[(first_ + n) % DISCIPLINE_HISTORY];
        const double w = weight(p);
        sw += w;
        sx += w * signed_ticks(p.tsc, newest.tsc);
        sy += w * static_cast<double>(wrap_sub(p.realtime_ns, newest.realtime_ns));
    }
    const double mean_x = sx / sw, mean_y = sy / sw;
    double sxx = 0, sxy = 0;
    for (int n = 0; n < count_; ++n) {
        const phase_point &p = history_[(first_ + n) % DISCIPLINE_HISTORY];
        const double w = weight(p);
        const double dx = signed_ticks(p.tsc, newest.tsc) - mean_x;
        sxx += w * dx * dx;
        sxy += w * dx * (static_cast<double>(wrap_sub(p.realtime_ns, newest.realtime_ns)) - mean_y);
    }
    const double rate = sxx > 0 ? sxy / sxx : line_.ns_per_tick;
    line_.tsc = newest.tsc;
    line_.ns_per_tick = rate;
    line_.ns = static_cast<long double>(newest.realtime_ns) + static_cast<long double>(mean_y - rate * mean_x);
}

/* ---- records ------------------------------------------------------------ */

calibration_record_t continuation_record(const calibration_record_t &in_force, uint64 pivot_tsc,
                                         const phase_line &target, uint64 cycle_ticks)
{
    const long double value_us = record_at_us(in_force, pivot_tsc);
    const long double goal_us = target.at(pivot_tsc + cycle_ticks) / 1000.0L;
    const long double rate_us = static_cast<long double>(target.ns_per_tick) / 1000.0L;
    const long double slope_us = std::clamp((goal_us - value_us) / static_cast<long double>(cycle_ticks),
                                            rate_us / DISCIPLINE_CATCH_UP_FACTOR, rate_us * DISCIPLINE_CATCH_UP_FACTOR);
    return record_through(value_us, pivot_tsc, slope_us);
}

calibration_record_t step_record(const phase_line &target, uint64 pivot_tsc)
{
    return record_through(target.at(pivot_tsc) / 1000.0L, pivot_tsc,
                          static_cast<long double>(target.ns_per_tick) / 1000.0L);
}

calibration_record_t shifted_record(const calibration_record_t &in_force, uint64 pivot_tsc, const phase_line &target,
                                    long double shift_us)
{
    return record_through(record_at_us(in_force, pivot_tsc) + shift_us, pivot_tsc,
                          static_cast<long double>(target.ns_per_tick) / 1000.0L);
}

/* ---- the discipline ----------------------------------------------------- */

static calibration_record_t record_in_force(CALIBRATION_CONTEXT_H d_rec)
{
    const calibration_record_t &r = d_rec->calib_table[ring_index(calib::load(d_rec->idx))];
    return calibration_record_t{calib::load(r.slope), calib::load(r.intercept)};
}

/*
 * The initial calibration's record is off by whatever jumped inside the
 * start-up second (the OS clock set while it measured): more than
 * DISCIPLINE_SLEW_LIMIT_NS off the first reading right after it, which no
 * rate can leave in that time, is stepped away by the first correction.
 */
void tsc_discipline::start(CALIBRATION_CONTEXT_H d_rec)
{
    const clock_reading r = narrowest_clock_reading(discipline_clock::active, DISCIPLINE_BRACKETS, true);
    const calibration_record_t in_force = record_in_force(d_rec);
    estimate_.start(r, in_force.slope);
    const long double off_ns = record_at_us(in_force, realtime_tsc(r)) * 1000.0L - static_cast<long double>(r.realtime_ns);
    step_first_ = !(std::fabs(static_cast<double>(off_ns)) <= DISCIPLINE_SLEW_LIMIT_NS);
}

/* A catch-up record in force is off the first reading by what it has yet
 * to take up; only the initial calibration's record is stepped from. */
void tsc_discipline::start_inherited(CALIBRATION_CONTEXT_H d_rec)
{
    start(d_rec);
    step_first_ = false;
}

void tsc_discipline::write(CALIBRATION_CONTEXT_H d_rec, const calibration_record_t &record, bool step)
{
    calib::increment(step ? d_rec->stepcount : d_rec->updates);
    const int32_t next_idx = calib::next_index(ring_index(calib::load(d_rec->idx)));
    calib::publish_record(d_rec, next_idx, record.slope, record.intercept);
}

/*
 * Where a continuation takes over.  A record through pivot p with a slope
 * changed by d moves every tick t by d * (t - p) against the record in
 * force: a speed-up moves ticks before p back, a slow-down moves ticks after
 * p back.  So a speed-up pivots DISCIPLINE_SPEED_UP_PIVOT_NS before now: a
 * tick taken within that span and converted again after the switch never
 * reads earlier, and the clock moves forward by d times that span (nothing
 * measurable under a daemon's steering, 0.3 ms at the start of chrony's
 * fastest slew).  A slow-down pivots DISCIPLINE_SLOW_DOWN_PIVOT_NS ahead,
 * and is made again should the thread not publish it before the pivot.
 */
static uint64 continuation_pivot(bool speed_up, uint64 now_tsc, const phase_line &target)
{
    const double lead_ns = speed_up ? -DISCIPLINE_SPEED_UP_PIVOT_NS : DISCIPLINE_SLOW_DOWN_PIVOT_NS;
    return now_tsc + double_to_uint64_via_int64(std::round(lead_ns / target.ns_per_tick));
}

calibration_record_t tsc_discipline::continuation(const calibration_record_t &in_force, const phase_line &target,
                                                  uint64 now_tsc, const long double *shift_ns) const
{
    if (shift_ns != nullptr) {
        const bool speed_up = target.ns_per_tick / 1000.0 > in_force.slope;
        return shifted_record(in_force, continuation_pivot(speed_up, now_tsc, target), target, *shift_ns / 1000.0L);
    }
    const uint64 cycle_ticks = double_to_uint64_via_int64(std::round(DAEMON_UPDATE_INTERVAL * 1e9 / target.ns_per_tick));
    const calibration_record_t at_now = continuation_record(in_force, now_tsc, target, cycle_ticks);
    const uint64 pivot_tsc = continuation_pivot(at_now.slope > in_force.slope, now_tsc, target);
    return continuation_record(in_force, pivot_tsc, target, cycle_ticks);
}

/*
 * A step onto the estimate, but one back (the first cycle's, a TSC that
 * jumped forward) stops DISCIPLINE_STEP_BACK_MARGIN_NS short of it: the
 * clock then moves back by no more than what jumped, and the next cycle's
 * continuation takes the rest up forward.
 */
static calibration_record_t step_onto(phase_line target, const calibration_record_t &in_force, uint64 now_tsc)
{
    const long double behind_ns = record_at_us(in_force, now_tsc) * 1000.0L - target.at(now_tsc);
    if (behind_ns > 0)
        target.ns += std::fminl(behind_ns, DISCIPLINE_STEP_BACK_MARGIN_NS);
    return step_record(target, now_tsc);
}

/*
 * How far an OS step moves the clock: by that step and no more.  A
 * catch-up still owed (the clock ahead of the estimate after a slew) goes
 * on from there, so the step does not take it up at once.  Back, it stops
 * short by what the step's measure may be off, so that the clock never
 * moves back by more than the OS clock did.
 */
static long double os_step_shift_ns(int64 os_step_ns, double uncertainty_ns)
{
    const double step_ns = static_cast<double>(os_step_ns);
    return step_ns < 0 ? std::fmin(0.0, step_ns + uncertainty_ns) : step_ns;
}

bool tsc_discipline::correct(CALIBRATION_CONTEXT_H d_rec)
{
    const clock_reading r = narrowest_clock_reading(discipline_clock::active, DISCIPLINE_BRACKETS, estimate_.uses_raw());
    int64 os_step_ns = 0;
    const reading_verdict verdict = estimate_.take(r, &os_step_ns);
    if (verdict == READING_UNTRUSTED)
        return false;

    const phase_line target = estimate_.line();
    const calibration_record_t in_force = record_in_force(d_rec);
    const uint64 now_tsc = discipline_clock::active.read_tsc();
    const double error_ns = static_cast<double>(target.at(now_tsc) - record_at_us(in_force, now_tsc) * 1000.0L);
    /* A jump is stepped once the next reading has told it from a new rate
     * (a rate, and the first disagreement, are followed as rates), and
     * only where the clock is still off by more than a jump's size: a
     * suspend moves the TSC on with the real-time clock, and leaves
     * nothing to step.  Back only for a TSC that jumped forward: after one
     * that jumped back, the catch-up may have run a little past the
     * estimate, and a continuation takes that up. */
    const bool jump = verdict == READING_TSC_JUMPED &&
                      (error_ns > DISCIPLINE_TSC_JUMP_NS ||
                       (error_ns < -DISCIPLINE_TSC_JUMP_NS && estimate_.tsc_jump_ns() > 0));
    const bool too_far = !estimate_.uses_raw() && verdict != READING_TSC_JUMP &&
                         !(std::fabs(error_ns) <= DISCIPLINE_SLEW_LIMIT_NS);
    const bool step = step_first_ || verdict == READING_OS_STEP || jump || too_far || !std::isfinite(error_ns);
    const bool by_os_step = step && verdict == READING_OS_STEP && !step_first_;
    step_first_ = false;
    if (step && !by_os_step) {
        write(d_rec, step_onto(target, in_force, now_tsc), true);
        return true;
    }
    const long double shift_ns = os_step_shift_ns(os_step_ns, estimate_.os_step_uncertainty_ns());
    publish_continuation(d_rec, in_force, target, now_tsc, by_os_step ? &shift_ns : nullptr, step);
    return step;
}

/*
 * A slow-down must come into force before its pivot, however long the
 * thread was preempted since it read the clocks: the TSC is read again right
 * before the record is published, and a record whose pivot that reading has
 * passed is made again from it, until one is published in time.
 */
void tsc_discipline::publish_continuation(CALIBRATION_CONTEXT_H d_rec, const calibration_record_t &in_force,
                                          const phase_line &target, uint64 made_at_tsc, const long double *shift_ns,
                                          bool step)
{
    for (;;) {
        const calibration_record_t next = continuation(in_force, target, made_at_tsc, shift_ns);
        const uint64 tsc = discipline_clock::active.read_tsc();
        if (!(next.slope < in_force.slope) || tsc < continuation_pivot(false, made_at_tsc, target)) {
            write(d_rec, next, step);
            return;
        }
        made_at_tsc = tsc;
    }
}

/*
 * A step onto the estimate where the estimate is ahead; where it is behind
 * (by what a double resolves, when the discipline has run since the start)
 * a continuation takes that up instead, so that the step never moves the
 * clock back.  Counted in stepcount either way.
 */
void tsc_discipline::step_to_estimate(CALIBRATION_CONTEXT_H d_rec)
{
    const phase_line target = estimate_.line();
    const calibration_record_t in_force = record_in_force(d_rec);
    const uint64 now_tsc = discipline_clock::active.read_tsc();
    const bool behind = target.at(now_tsc) < record_at_us(in_force, now_tsc) * 1000.0L;
    write(d_rec, behind ? continuation(in_force, target, now_tsc) : step_record(target, now_tsc), true);
}

void tsc_discipline::follow(CALIBRATION_CONTEXT_H d_rec, const calibration_record_t &record)
{
    write(d_rec, record, false);
}

void tsc_discipline::join(CALIBRATION_CONTEXT_H d_rec, const calibration_record_t &record)
{
    const uint64 now_tsc = discipline_clock::active.read_tsc();
    const phase_line below = {now_tsc, record_at_us(record, now_tsc) * 1000.0L - DISCIPLINE_JOIN_BELOW_NS,
                              record.slope * 1000.0};
    publish_continuation(d_rec, record_in_force(d_rec), below, now_tsc);
}

/*
 * The loop's offsets are what is left of the discipline's own corrections.
 * Its first step (16 s after start) is a step to the estimate, counted in
 * stepcount as the loop's step always was; by then the clock is on the
 * estimate, and the step moves it forward by what a double resolves, or not
 * at all.  Its later steps (an offset beyond its step limit, a spike) are
 * not taken: what jumped the discipline has stepped already, in the poll's
 * own cycle, and a phase error a fast slew left is the discipline's to take
 * up without moving the clock back.  Its slews write nothing: their
 * frequency correction has gone into the loop's stability, and the
 * discipline follows the rate every cycle.
 */
void tsc_discipline::take_loop_correction(CALIBRATION_CONTEXT_H d_rec, const loop_correction &c)
{
    if (c.kind == LOOP_STEP && c.first_step)
        step_to_estimate(d_rec);
}

} // namespace tsci2
