/*
 * disturbance_watch.cpp - the disturbance watch: steps of the real-time
 * clock, slews, rate changes and jumps followed within seconds.
 *
 * The loop filter is left to what it was made for, the microsecond offsets
 * of a clock in step; the watch looks once a cycle for what it cannot
 * follow (disturbance_watch.h) and puts the clock back on the OS clock at
 * once, with one record written ahead of the index like the loop's own
 * steps.  Which disturbance it is, the watch tells from the clocks alone:
 *
 *   real-time minus monotonic changed        the real-time clock was stepped:
 *                                            step by exactly that, slope kept
 *   offset beyond TSCI2_PERSIST_US less      the rate changed (a slew began or
 *   than a minute after a correction         ended, the TSC's rate changed):
 *                                            slope set to the TSC's rate
 *                                            against the monotonic clock since
 *                                            the correction, phase corrected
 *   offset beyond TSCI2_UNEXPLAINED_US       a slew, a new TSC rate or a TSC
 *                                            jump: phase corrected
 *
 * A jump of the TSC is corrected once; its rate is unchanged, so no offset
 * grows after it.  A slew shorter than a cycle is likewise one phase
 * correction.  A lesson measured over a span in which a slew ended is wrong
 * by part of the slew; the offset that then grows is the next lesson.
 * Rates are only ever measured against the monotonic clock, which no step
 * moves.
 */
#include "time/disturbance_watch.h"

#include <cmath>

#include "time/calibration.h"
#include "time/discipline_clock.h"

namespace tsci2 {

watch_state watch;

namespace {

int64 os_minus_mono_ns(const sub_sample &s)
{
    return wrap_sub(wrap_mul(timeval_usecs(s.tv), 1000), s.mono_ns);
}

/* The distance of the reading's TSC readings, microseconds of the line. */
double width_us(const sub_sample &s, double slope)
{
    return static_cast<double>(s.tsc_end - s.tsc_begin) * slope;
}

bool beyond(int64 value, double limit)
{
    return std::fabs(static_cast<double>(value)) > limit;
}

int64 rounded_us(int64 ns)
{
    return wrap_add(ns, ns < 0 ? -500 : 500) / 1000;
}

/*
 * The TSC's rate against the monotonic clock since the last correction,
 * when that lies between TSCI2_LESSON_MIN_S and TSCI2_LESSON_WINDOW_S back
 * and the rate is within TSCI2_LESSON_FACTOR of the slope (a TSC that
 * jumped in between gives no rate).
 */
bool lesson_rate(const watch_state &w, const sub_sample &s, double slope, double *rate)
{
    if (!w.corrected)
        return false;
    const double span_us = static_cast<double>(wrap_sub(s.mono_ns, w.corrected_mono_ns)) / 1000.0;
    if (!(span_us >= TSCI2_LESSON_MIN_S * 1e6 && span_us <= TSCI2_LESSON_WINDOW_S * 1e6))
        return false;
    *rate = span_us / static_cast<double>(static_cast<int64>(bracket_midpoint(s) - w.corrected_tsc));
    return *rate >= slope / TSCI2_LESSON_FACTOR && *rate <= slope * TSCI2_LESSON_FACTOR;
}

} // namespace

bool bracket_offset(const sub_sample &s, double slope, int64 intercept, int64 *fp_offset)
{
    int64 delta_forth, delta_back;
    offset_deltas(s, slope, intercept, &delta_forth, &delta_back);
    *fp_offset = half_difference(delta_forth, delta_back);
    /* A TSC that went back between the readings gives a huge unsigned width. */
    return slope > 0 && width_us(s, slope) <= TSCI2_BRACKET_LIMIT_US;
}

watch_verdict judge(const watch_state &w, const sub_sample &s, double slope, int64 intercept)
{
    int64 offset_us = 0;
    if (!w.started || !bracket_offset(s, slope, intercept, &offset_us))
        return {WATCH_UNTRUSTED, 0, 0.0};
    /* Each reading's real-time minus monotonic is uncertain by its width. */
    const int64 step_ns = wrap_sub(os_minus_mono_ns(s), w.os_minus_mono_ns);
    if (beyond(step_ns, (TSCI2_OS_STEP_MIN_US + width_us(s, slope) + w.width_us) * 1000.0))
        return {WATCH_OS_STEP, rounded_us(step_ns), slope};
    /* Right after a correction the line was on the OS clock: an offset
     * that has grown since is a rate the line does not have.  The two
     * readings' widths bound the error of both the offset and the rate. */
    const double noise_us = width_us(s, slope) + w.corrected_width_us;
    double rate = 0;
    if (beyond(offset_us, TSCI2_PERSIST_US + 4 * noise_us) && lesson_rate(w, s, slope, &rate))
        return {WATCH_RATE, offset_us, rate};
    if (beyond(offset_us, TSCI2_UNEXPLAINED_US))
        return {WATCH_PHASE, offset_us, slope};
    return {WATCH_NONE, 0, slope};
}

void remember(watch_state *w, const sub_sample &s, double slope, const watch_verdict &v)
{
    if (v.action == WATCH_UNTRUSTED)
        return;
    w->os_minus_mono_ns = os_minus_mono_ns(s);
    w->width_us = width_us(s, slope);
    if (v.action == WATCH_PHASE || v.action == WATCH_RATE) {
        w->corrected = true;
        w->corrected_tsc = bracket_midpoint(s);
        w->corrected_mono_ns = s.mono_ns;
        w->corrected_width_us = w->width_us;
    }
}

void watch_start(const sub_sample &s, double slope)
{
    watch = watch_state{};
    watch.started = true;
    remember(&watch, s, slope, watch_verdict{WATCH_NONE, 0, slope});
}

int watch_apply(CALIBRATION_CONTEXT_H d_rec, const sub_sample &s, double slope, int64 intercept,
                const watch_verdict &v)
{
    switch (v.action) {
    case WATCH_OS_STEP:
    case WATCH_PHASE:
        write_step(d_rec, slope, wrap_add(intercept, v.offset_us));
        return 1;
    case WATCH_RATE: {
        /* The new line reads the old one plus the offset at the reading. */
        const uint64 epoch = bracket_midpoint(s);
        const int64 anchor = double_to_int64(static_cast<double>(static_cast<int64>(epoch)) * (v.slope - slope));
        write_step(d_rec, v.slope, wrap_add(wrap_sub(intercept, anchor), v.offset_us));
        restart_frequency(epoch);
        return 1;
    }
    default:
        return 0;
    }
}

int watch_check(CALIBRATION_CONTEXT_H d_rec)
{
    if (!watch.started)
        return 0;
    /* Only this thread writes records, so the line holds still meanwhile. */
    const calibration_record_t &last = d_rec->calib_table[ring_index(calib::load(d_rec->valid_idx))];
    const double slope = calib::load(last.slope);
    const int64 intercept = calib::load(last.intercept);

    const sub_sample s = narrowest_reading(discipline_clock::active, TSCI2_CHECK_TRIES);
    const watch_verdict v = judge(watch, s, slope, intercept);
    remember(&watch, s, slope, v);
    return watch_apply(d_rec, s, slope, intercept, v);
}

} // namespace tsci2
