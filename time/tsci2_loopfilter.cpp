/*
 * tsci2_loopfilter.cpp - the TSC discipline.
 *
 * Keeps a calibration context (tsci2_loopfilter.h) in step with the OS clock:
 *
 *   tsci2_loopfilter_init    the initial calibration: a one-second slope and
 *                            an intercept from ten sub-samples, into record 0.
 *                            The slope is measured against the monotonic
 *                            clock, which no step of the real-time clock
 *                            moves, and measured again when it disagrees
 *                            with a second, short measurement.
 *   poll_offset              the offset of the OS clock from the record in
 *                            force, from ten sub-samples.
 *   loop_filter              the specified loop: steps the calibration at
 *                            the first measurement and for offsets beyond
 *                            TSCI2_STEP_LIMIT, slews it otherwise (slope by
 *                            0.75 of the frequency error, offset over up to
 *                            ten records); tracks jitter, stability and the
 *                            poll interval.  In the thread its corrections go
 *                            to the discipline (tsc_discipline.h), which
 *                            writes every record.
 *   tsci2_loopfilter_thread  one cycle a second for ever: heartbeat, a poll
 *                            every tsci2_poll_factor cycles, the discipline's
 *                            reading and record, the loop filter fed the
 *                            poll, and the failure message a reading thread
 *                            left (clock_reading.h), said; then the watch of
 *                            the shared area's name (area_watch.h), which may
 *                            give the thread another context.
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
 * vek_base_sleep, so tests can run the discipline in simulated time.
 */
#include "time/tsci2_loopfilter.h"

#include <atomic>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <limits>

#include <sys/time.h>

#include "interface/vek_base.interface.h"
#include "public/tsc.h"
#include "time/area_watch.h"
#include "time/calibration.h"
#include "time/clock_reading.h"
#include "time/discipline_clock.h"
#include "time/fork_safety.h"
#include "time/tsc_discipline.h"
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

/* ---- the clock seam ------------------------------------------------------ */

namespace discipline_clock {
namespace {

uint64 read_rdtsc(void) { return rdtsc(); }

int read_gettimeofday(struct timeval *tv) { return gettimeofday(tv, nullptr); }

int read_monotonic(struct timespec *ts) { return clock_gettime(CLOCK_MONOTONIC, ts); }

int read_realtime(struct timespec *ts) { return clock_gettime(CLOCK_REALTIME, ts); }

int read_raw(struct timespec *ts) { return clock_gettime(CLOCK_MONOTONIC_RAW, ts); }

} // namespace

clock_source real_clocks() { return clock_source{read_rdtsc, read_gettimeofday, read_monotonic, read_realtime, read_raw}; }

clock_source active = {read_rdtsc, read_gettimeofday, read_monotonic, read_realtime, read_raw};

} // namespace discipline_clock

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

double slew_tsctime(CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset)
{
    const double dtemp = slew_dtemp(epoch, fp_offset);

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

    return dtemp * 1e6 / s0;
}

namespace {

/*
 * The loop's corrections.  On a context the discipline keeps, the discipline
 * makes them: a step becomes a step to its estimate, and a slew writes
 * nothing (the offsets the loop sees are what is left of the discipline's
 * own corrections); the slew's frequency correction is still what the loop
 * tracks its stability by.  Without a discipline they are written as records.
 */
void take_step(tsc_discipline *discipline, CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset)
{
    if (discipline != nullptr && discipline->started())
        discipline->step_to_estimate(d_rec);
    else
        step_tsctime(d_rec, epoch, fp_offset);
}

double take_slew(tsc_discipline *discipline, CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset)
{
    if (discipline == nullptr || !discipline->started())
        return slew_tsctime(d_rec, epoch, fp_offset);
    const double s0 = calib::load(d_rec->calib_table[ring_index(calib::load(d_rec->idx))].slope);
    return slew_dtemp(epoch, fp_offset) * 1e6 / s0;
}

/* The step of the first measurement, also taken for offsets beyond the limit. */
int step_and_resync(tsc_discipline *discipline, CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset)
{
    take_step(discipline, d_rec, epoch, fp_offset);
    reset_loop(S_SYNC, epoch, 0);
    put(tsci2_poll_factor, static_cast<unsigned int>(TSCI2_MINPOLL));
    return 1;
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

} // namespace

int loop_filter(CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset)
{
    return loop_filter_into(nullptr, d_rec, epoch, fp_offset);
}

int loop_filter_into(tsc_discipline *discipline, CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset)
{
    const int state = get(tsci2_state);

    if (state == S_NSET)
        return step_and_resync(discipline, d_rec, epoch, fp_offset);

    /* An offset beyond the step limit (an OS clock set by hand, say) is
     * stepped like the first one rather than slewed over ten seconds with a
     * slope change it does not justify.  Jitter and stability stay as they
     * were. */
    if (beyond_step_limit(fp_offset))
        return step_and_resync(discipline, d_rec, epoch, fp_offset);

    const double jitter = rms_update(get(tsci2_jitter), static_cast<double>(fp_offset));
    put(tsci2_jitter, jitter);

    /* Made against the updated jitter, which is never below |fp_offset| / 2,
     * so this test does not hold and the filter stays in S_SYNC. */
    const bool spike = std::fabs(static_cast<double>(fp_offset)) > TSCI2_POPCORN_SIGMA * jitter;

    switch (state) {
    case S_SYNC:
        if (!spike) {
            const double delta_freq = take_slew(discipline, d_rec, epoch, fp_offset);
            reset_loop(S_SYNC, epoch, fp_offset);
            const double stability = rms_update(get(tsci2_stability), delta_freq);
            put(tsci2_stability, stability);
            tune_poll(stability);
            return 0;
        }
        reset_loop(S_SPIK, epoch, get(tsci2_last_offset));
        decay_stability();
        return 0;
    case S_SPIK:
        if (spike) {
            take_step(discipline, d_rec, epoch, fp_offset);
            reset_loop(S_SYNC, epoch, fp_offset);
            put(tsci2_poll_factor, static_cast<unsigned int>(TSCI2_MINPOLL));
            decay_stability();
            return 1;
        }
        reset_loop(S_SYNC, epoch, fp_offset);
        decay_stability();
        return 0;
    default:
        decay_stability();
        return 0;
    }
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

void discipline_cycle(CALIBRATION_CONTEXT_H d_rec, tsc_discipline &discipline)
{
    vek_base_sleep(DAEMON_UPDATE_INTERVAL);
    const fork_safety::cycle_guard whole_cycle; /* a fork's child copies no cycle half done */
    calib::increment(d_rec->activity);

    const unsigned int poll_timer = get(tsci2_poll_timer) + 1;
    put(tsci2_poll_timer, poll_timer);
    const bool poll = poll_timer == get(tsci2_poll_factor);
    int64 fp_offset = 0;
    uint64 poll_ticks = 0;
    if (poll) {
        put(tsci2_poll_timer, 0u);
        poll_ticks = poll_offset(d_rec, &fp_offset);
    }

    /* After the poll, so that what jumped during its sub-samples is seen
     * now.  A poll that an OS step or a TSC jump made stale, or that was
     * measured against a record the discipline has just stepped away from,
     * is not the loop's to correct: it would take the same jump again. */
    const bool stepped = discipline.correct(d_rec);
    if (poll && !stepped)
        (void)loop_filter_into(&discipline, d_rec, poll_ticks, fp_offset);

    const int32_t idx = calib::load(d_rec->idx);
    if (idx != calib::load(d_rec->valid_idx)) {
        calib::increment(d_rec->updates);
        calib::store(d_rec->idx, (ring_index(idx) + 1) % CALIB_TABLE_SIZE);
    }

    say_fail_message(); /* reading threads never log */
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

void *tsci2_loopfilter_thread(void *arg)
{
    CALIBRATION_CONTEXT_H d_rec = static_cast<CALIBRATION_CONTEXT_H>(arg);
    tsci2::tsc_discipline discipline;
    discipline.start(d_rec);
    for (;;) {
        tsci2::discipline_cycle(d_rec, discipline);
        /* The watch maps and unmaps through the host, under the host's own
         * lock: a fork meanwhile would leave its child that lock held. */
        const fork_safety::cycle_guard whole_look;
        d_rec = area_watch_cycle(d_rec); /* the shared area's name (area_watch.h) */
    }
}
