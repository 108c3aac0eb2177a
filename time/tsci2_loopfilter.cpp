/*
 * tsci2_loopfilter.cpp - the initial calibration and the specified loop
 * filter.
 *
 *   tsci2_loopfilter_init    the initial calibration: a one-second slope and
 *                            an intercept from ten sub-samples, into record 0.
 *                            The slope is measured against the monotonic
 *                            clock, which no step of the real-time clock
 *                            moves, and measured again when it disagrees
 *                            with a second, short measurement.
 *   poll_due, poll_offset    the loop's poll schedule (a poll every
 *                            tsci2_poll_factor cycles) and the offset of the
 *                            OS clock from the record in force, from ten
 *                            sub-samples.
 *   decide_loop              the loop's state: a step at the first
 *                            measurement and for offsets beyond
 *                            TSCI2_STEP_LIMIT, a slew otherwise (slope by
 *                            0.75 of the frequency error, offset over up to
 *                            ten records); jitter, stability and the poll
 *                            interval.  It writes no record: it says which
 *                            correction it would make (loop_correction).
 *   write_loop_correction    that correction written as records, for a
 *                            context no discipline keeps; loop_filter is
 *                            decide_loop and write_loop_correction together.
 *
 * The discipline thread's cycle, which polls, hands the loop's correction to
 * the discipline (tsc_discipline.h) or writes it, is in discipline_cycle.cpp.
 *
 * Publication: every field of a context is written through calib::store
 * (std::atomic_ref, release).  A record is written slope first, then
 * intercept, at an index no reader selects; then valid_idx; then idx.
 * `updates` is stored before idx moves.  The loop-state globals tsci2_* are
 * written only by the discipline thread (and by tsci2_loopfilter_init before
 * that thread exists) and read by monitors, so they are accessed through
 * std::atomic_ref too (relaxed).
 *
 * Clocks are read through discipline_clock::active and sleeping goes through
 * vek_base_sleep, so tests can run the loop in simulated time.
 */
#include "time/tsci2_loopfilter.h"

#include <atomic>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <limits>

#include <sys/time.h>

#include "interface/vek_base.interface.h"
#include "time/calibration.h"
#include "time/discipline_clock.h"
#include "time/tsci2_loopfilter_internal.h"

static_assert(std::numeric_limits<double>::is_iec559, "the discipline relies on IEEE 754 doubles");

/* ---- exported loop state --------------------------------------------------
 * 64-bit members are aligned to 8 so that std::atomic_ref may take them on
 * i386 as well. */
int tsci2_state;
alignas(8) uint64 tsci2_last_time;
alignas(8) int64 tsci2_last_offset;
alignas(8) double tsci2_jitter;
alignas(8) double tsci2_stability;
unsigned int tsci2_poll_factor;
unsigned int tsci2_poll_timer;
unsigned int tsci2_hold_timer;

namespace tsci2 {

namespace {

/* Loop-state globals: relaxed atomic access (single writer, monitor readers). */
template <typename T>
T get(const T &global)
{
    return calib::load(global, std::memory_order_relaxed);
}

template <typename T>
void put(T &global, T value)
{
    calib::store(global, value, std::memory_order_relaxed);
}

} // namespace

/* ---- arithmetic of one measurement ------------------------------------- */

double slope_from_readings(const sub_sample &begin, const sub_sample &end)
{
    const double usecs = static_cast<double>(wrap_sub(end.mono_ns, begin.mono_ns)) / 1000.0;
    const double ticks = static_cast<double>(static_cast<int64>(bracket_midpoint(end) - bracket_midpoint(begin)));
    return usecs / ticks;
}

bool slope_plausible(double slope, double second_slope)
{
    return slope > 0 && std::fabs(second_slope / slope - 1.0) <= TSCI2_SLOPE_AGREEMENT;
}

void calibration_deltas(const sub_sample &s, double slope, int64 *delta1, int64 *delta2)
{
    const int64 t1 = double_to_int64(static_cast<double>(s.tsc_begin) * slope);
    const int64 t3 = double_to_int64(static_cast<double>(s.tsc_end) * slope);
    const int64 t2 = timeval_usecs(s.tv);
    *delta1 = wrap_sub(t2, t1);
    *delta2 = wrap_sub(t3, t2);
}

void offset_deltas(const sub_sample &s, double slope, int64 intercept, int64 *delta_forth, int64 *delta_back)
{
    const uint64 usecs_sys = static_cast<uint64>(timeval_usecs(s.tv));
    const uint64 usecs_begin =
        double_to_uint64_via_int64(static_cast<double>(s.tsc_begin) * slope + static_cast<double>(intercept));
    const uint64 usecs_end =
        double_to_uint64_via_int64(static_cast<double>(s.tsc_end) * slope + static_cast<double>(intercept));
    *delta_forth = static_cast<int64>(usecs_sys - usecs_begin);
    *delta_back = static_cast<int64>(usecs_end - usecs_sys);
}

void keep_minimum(int64 *min_delta, int64 delta)
{
    if (*min_delta == 0 || delta < *min_delta)
        *min_delta = delta;
}

int64 half_difference(int64 min_forth, int64 min_back)
{
    return wrap_sub(min_forth, min_back) / 2;
}

int64 intercept_from_sub_samples(const sub_sample *samples, int count, double slope)
{
    int64 min_delta1 = 0;
    int64 min_delta2 = 0;
    for (int n = 0; n < count; ++n) {
        int64 delta1, delta2;
        calibration_deltas(samples[n], slope, &delta1, &delta2);
        keep_minimum(&min_delta1, delta1);
        keep_minimum(&min_delta2, delta2);
    }
    return half_difference(min_delta1, min_delta2);
}

int64 offset_from_sub_samples(const sub_sample *samples, int count, double slope, int64 intercept)
{
    int64 min_delta_forth = 0;
    int64 min_delta_back = 0;
    for (int n = 0; n < count; ++n) {
        int64 delta_forth, delta_back;
        offset_deltas(samples[n], slope, intercept, &delta_forth, &delta_back);
        keep_minimum(&min_delta_forth, delta_forth);
        keep_minimum(&min_delta_back, delta_back);
    }
    return half_difference(min_delta_forth, min_delta_back);
}

uint64 bracket_midpoint(const sub_sample &s)
{
    return s.tsc_begin + (s.tsc_end - s.tsc_begin) / 2;
}

/* ---- loop filter -------------------------------------------------------- */

int64 slew_iterations(int64 fp_offset)
{
    if (fp_offset != 0 && fp_offset >= -TSCI2_SLEWS && fp_offset <= TSCI2_SLEWS)
        return fp_offset < 0 ? -fp_offset : fp_offset;
    return TSCI2_SLEWS;
}

double rms_update(double previous, double sample)
{
    return std::sqrt(previous * previous + (sample * sample - previous * previous) / TSCI2_RMS_WEIGHT);
}

void reset_loop(int state, uint64 epoch, int64 offset)
{
    put(tsci2_state, state);
    put(tsci2_last_time, epoch);
    put(tsci2_last_offset, offset);
}

void init_loopfilter(CALIBRATION_CONTEXT_H d_rec)
{
    (void)d_rec;
    reset_loop(S_NSET, discipline_clock::active.read_tsc(), 0);
    put(tsci2_jitter, 0.0);
    put(tsci2_stability, 0.0);
}

void write_step(CALIBRATION_CONTEXT_H d_rec, double slope, int64 intercept)
{
    calib::increment(d_rec->stepcount);
    const int32_t next_idx = (ring_index(calib::load(d_rec->idx)) + 1) % CALIB_TABLE_SIZE;
    calib::publish_record(d_rec, next_idx, slope, intercept);
}

namespace {

/* An offset too large to slew: the OS clock was set or the TSC jumped. */
bool beyond_step_limit(int64 fp_offset)
{
    return fp_offset > TSCI2_STEP_LIMIT || fp_offset < -TSCI2_STEP_LIMIT;
}

} // namespace

void step_tsctime(CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset)
{
    (void)epoch;
    const int32_t idx = ring_index(calib::load(d_rec->idx));
    const calibration_record_t &in_force = d_rec->calib_table[idx];
    write_step(d_rec, calib::load(in_force.slope), wrap_add(calib::load(in_force.intercept), fp_offset));
}

double slew_dtemp(uint64 epoch, int64 fp_offset)
{
    /* tsci2_last_time is still the previous measurement's epoch here. */
    return (static_cast<double>(fp_offset) * TSCI2_FREQ_FACTOR) /
           static_cast<double>(static_cast<int64>(epoch - get(tsci2_last_time)));
}

double slope_in_force(CALIBRATION_CONTEXT_H d_rec)
{
    return calib::load(d_rec->calib_table[ring_index(calib::load(d_rec->idx))].slope);
}

namespace {

/* A slew's change of slope as a frequency correction, ppm of the slope s0. */
double slew_freq_ppm(double dtemp, double s0)
{
    return dtemp * 1e6 / s0;
}

/*
 * The slew's records: a line of slope s0 + dtemp that meets the record in
 * force at epoch, then up to TSCI2_SLEWS records each a slice of fp_offset
 * further, brought into force one a cycle.  Returns the frequency correction.
 */
double write_slew(CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset, double dtemp)
{
    const int32_t idx = ring_index(calib::load(d_rec->idx));
    const calibration_record_t &in_force = d_rec->calib_table[idx];
    const double s0 = calib::load(in_force.slope);
    const int64 b0 = calib::load(in_force.intercept);

    const double etemp = s0 + dtemp;
    const int64 iterations = slew_iterations(fp_offset);
    const int64 intercept_slice = fp_offset / iterations; /* the remainder is left for the next poll */

    /* The new line meets the old one at epoch (up to the truncation). */
    const int64 anchor = double_to_int64(static_cast<double>(static_cast<int64>(epoch)) * dtemp);
    const int64 b = wrap_sub(b0, anchor);

    int32_t next_idx = idx;
    for (int64 i = 1; i <= iterations; ++i) {
        next_idx = (idx + static_cast<int32_t>(i)) % CALIB_TABLE_SIZE;
        calib::write_record(d_rec, next_idx, etemp, wrap_add(b, i * intercept_slice));
    }
    calib::store(d_rec->valid_idx, next_idx);

    return slew_freq_ppm(dtemp, s0);
}

} // namespace

double slew_tsctime(CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset)
{
    return write_slew(d_rec, epoch, fp_offset, slew_dtemp(epoch, fp_offset));
}

namespace {

loop_correction correction(loop_correction_kind kind, uint64 epoch, int64 fp_offset)
{
    return loop_correction{kind, epoch, fp_offset, false, 0.0};
}

/* The step of the first measurement, also taken for offsets beyond the limit. */
loop_correction step_and_resync(uint64 epoch, int64 fp_offset, bool first_step)
{
    reset_loop(S_SYNC, epoch, 0);
    put(tsci2_poll_factor, static_cast<unsigned int>(TSCI2_MINPOLL));
    loop_correction step = correction(LOOP_STEP, epoch, fp_offset);
    step.first_step = first_step;
    return step;
}

void decay_stability()
{
    put(tsci2_stability, rms_update(get(tsci2_stability), 0.0));
}

void tune_poll(double stability)
{
    const unsigned int poll_factor = get(tsci2_poll_factor);
    if (stability > TSCI2_STABILITY_LIMIT_PPM) {
        if (poll_factor > static_cast<unsigned int>(TSCI2_MINPOLL))
            put(tsci2_poll_factor, poll_factor - 1);
    } else {
        if (poll_factor < static_cast<unsigned int>(TSCI2_MAXPOLL))
            put(tsci2_poll_factor, poll_factor + 1);
    }
}

/* A slew: its change of slope is computed before the loop forgets the last epoch. */
loop_correction slew_and_track(uint64 epoch, int64 fp_offset, double slope_in_force)
{
    loop_correction slew = correction(LOOP_SLEW, epoch, fp_offset);
    slew.slope_change_us_per_tick = slew_dtemp(epoch, fp_offset);
    const double delta_freq_ppm = slew_freq_ppm(slew.slope_change_us_per_tick, slope_in_force);
    reset_loop(S_SYNC, epoch, fp_offset);
    const double stability = rms_update(get(tsci2_stability), delta_freq_ppm);
    put(tsci2_stability, stability);
    tune_poll(stability);
    return slew;
}

} // namespace

loop_correction decide_loop(uint64 epoch, int64 fp_offset, double slope_in_force)
{
    const int state = get(tsci2_state);

    if (state == S_NSET)
        return step_and_resync(epoch, fp_offset, true);

    /* An offset beyond the step limit (an OS clock set by hand, say) is
     * stepped like the first one rather than slewed over ten seconds with a
     * slope change it does not justify.  Jitter and stability stay as they
     * were. */
    if (beyond_step_limit(fp_offset))
        return step_and_resync(epoch, fp_offset, false);

    const double jitter = rms_update(get(tsci2_jitter), static_cast<double>(fp_offset));
    put(tsci2_jitter, jitter);

    /* Made against the updated jitter, which is never below |fp_offset| / 2,
     * so this test does not hold and the filter stays in S_SYNC. */
    const bool spike = std::fabs(static_cast<double>(fp_offset)) > TSCI2_POPCORN_SIGMA * jitter;

    switch (state) {
    case S_SYNC:
        if (!spike)
            return slew_and_track(epoch, fp_offset, slope_in_force);
        reset_loop(S_SPIK, epoch, get(tsci2_last_offset));
        decay_stability();
        return correction(LOOP_NONE, epoch, fp_offset);
    case S_SPIK:
        reset_loop(S_SYNC, epoch, fp_offset);
        decay_stability();
        if (spike) {
            put(tsci2_poll_factor, static_cast<unsigned int>(TSCI2_MINPOLL));
            return correction(LOOP_STEP, epoch, fp_offset);
        }
        return correction(LOOP_NONE, epoch, fp_offset);
    default:
        decay_stability();
        return correction(LOOP_NONE, epoch, fp_offset);
    }
}

void write_loop_correction(CALIBRATION_CONTEXT_H d_rec, const loop_correction &c)
{
    if (c.kind == LOOP_STEP)
        step_tsctime(d_rec, c.epoch, c.fp_offset);
    else if (c.kind == LOOP_SLEW)
        (void)write_slew(d_rec, c.epoch, c.fp_offset, c.slope_change_us_per_tick);
}

int loop_filter(CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset)
{
    const loop_correction c = decide_loop(epoch, fp_offset, slope_in_force(d_rec));
    write_loop_correction(d_rec, c);
    return c.kind == LOOP_STEP ? 1 : 0;
}

bool poll_due()
{
    const unsigned int poll_timer = get(tsci2_poll_timer) + 1;
    put(tsci2_poll_timer, poll_timer);
    if (poll_timer != get(tsci2_poll_factor))
        return false;
    put(tsci2_poll_timer, 0u);
    return true;
}

/* ---- clock reading ------------------------------------------------------ */

sub_sample read_bracket(const discipline_clock::clock_source &clocks)
{
    sub_sample s;
    s.tsc_begin = clocks.read_tsc();
    clocks.read_os(&s.tv);
    s.tsc_end = clocks.read_tsc();
    return s;
}

sub_sample read_both_clocks(const discipline_clock::clock_source &clocks)
{
    sub_sample s;
    struct timespec mono;
    s.tsc_begin = clocks.read_tsc();
    clocks.read_os(&s.tv);
    clocks.read_mono(&mono);
    s.tsc_end = clocks.read_tsc();
    s.mono_ns = timespec_nsecs(mono);
    return s;
}

/* One taken while the thread was preempted cannot pass for the narrowest. */
sub_sample narrowest_reading(const discipline_clock::clock_source &clocks, int count)
{
    sub_sample best{};
    for (int n = 0; n < count; ++n) {
        const sub_sample s = read_both_clocks(clocks);
        if (n == 0 || s.tsc_end - s.tsc_begin < best.tsc_end - best.tsc_begin)
            best = s;
    }
    return best;
}

namespace {

/*
 * SUB_SAMPLES readings of TSC, OS clock, TSC, each triple back to back with
 * all conversion left for afterwards, and a short sleep after each.
 */
void take_sub_samples(const discipline_clock::clock_source &clocks, sub_sample *samples)
{
    for (int n = 0; n < SUB_SAMPLES; ++n) {
        samples[n] = read_bracket(clocks);
        vek_base_sleep(SUB_SAMPLE_INTERVAL_SECS);
    }
}

} // namespace

void tsci2_poll(calibration_record_t *c_record)
{
    assert(c_record);
    const discipline_clock::clock_source clocks = discipline_clock::active;

    /* The first OS clock read of a process can take tens of microseconds or
     * more (the clock's pages are faulted in): make it before the pair the
     * slope is measured from. */
    (void)read_both_clocks(clocks);
    for (int attempt = 1;; ++attempt) {
        calib::store(c_record->intercept, int64{0});
        calib::store(c_record->slope, 0.0);

        /* Each end of the pair is the narrowest of a few readings, tied to
         * the midpoint of its TSC readings. */
        const sub_sample begin = narrowest_reading(clocks, TSCI2_SLOPE_BRACKETS);
        vek_base_sleep(1.0);
        const sub_sample end = narrowest_reading(clocks, TSCI2_SLOPE_BRACKETS);
        const double slope = slope_from_readings(begin, end);
        calib::store(c_record->slope, slope);

        sub_sample samples[SUB_SAMPLES];
        take_sub_samples(clocks, samples);
        const sub_sample after = narrowest_reading(clocks, TSCI2_SLOPE_BRACKETS);
        calib::store(c_record->intercept, intercept_from_sub_samples(samples, SUB_SAMPLES, slope));

        /* A TSC that jumped during either span makes the two disagree. */
        if (slope_plausible(slope, slope_from_readings(end, after)) || attempt == TSCI2_SLOPE_ATTEMPTS)
            return;
    }
}

uint64 poll_offset(CALIBRATION_CONTEXT_H d_rec, int64 *p_fp_offset)
{
    const discipline_clock::clock_source clocks = discipline_clock::active;
    const calibration_record_t *c_record = &d_rec->calib_table[ring_index(calib::load(d_rec->idx))];

    sub_sample samples[SUB_SAMPLES];
    take_sub_samples(clocks, samples);
    /* Only this thread writes records, so c_record holds still meanwhile. */
    *p_fp_offset = offset_from_sub_samples(samples, SUB_SAMPLES, calib::load(c_record->slope),
                                           calib::load(c_record->intercept));
    return samples[SUB_SAMPLES - 1].tsc_end;
}

} // namespace tsci2

/* ---- exported entries ---------------------------------------------------- */

void tsci2_loopfilter_init(CALIBRATION_CONTEXT_H d_rec)
{
    calib::store(d_rec->stepcount, int32_t{0});
    calib::store(d_rec->valid_idx, int32_t{-1});
    calib::store(d_rec->idx, int32_t{-1});

    tsci2::tsci2_poll(&d_rec->calib_table[0]);

    calib::publish_index(d_rec, 0);

    tsci2::init_loopfilter(d_rec);
    tsci2::put(tsci2_poll_factor, static_cast<unsigned int>(TSCI2_MINPOLL));
    tsci2::put(tsci2_poll_timer, 0u);
}
