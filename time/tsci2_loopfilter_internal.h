/*
 * tsci2_loopfilter_internal.h - the pieces of the initial calibration and
 * the loop filter, for the discipline thread's cycle (discipline_cycle.h),
 * the discipline (tsc_discipline.h) and the tests.
 *
 * Everything here lives in tsci2_loopfilter.cpp with hidden visibility: it is
 * reachable from the static yaltime_core that the tests link, and never from
 * the shared library (whose exports are fixed by yaltime.exports.map).
 * Outside the component's own files, only tsci2_loopfilter_init,
 * tsci2_loopfilter_thread and the tsci2_* globals of tsci2_loopfilter.h are
 * used.
 *
 * The arithmetic is kept apart from the reading of clocks: the functions in
 * the first half take readings as plain values; those in the second half
 * read the clocks of discipline_clock.h and sleep through vek_base_sleep.
 *
 * The integer arithmetic it shares with the discipline is in
 * discipline_arithmetic.h.
 */
#ifndef YALTIME_TSCI2_LOOPFILTER_INTERNAL_H
#define YALTIME_TSCI2_LOOPFILTER_INTERNAL_H

#include <sys/time.h>

#include "public/portable.h"
#include "time/discipline_arithmetic.h"
#include "time/discipline_clock.h"
#include "time/tsci2_loopfilter.h"

#define TSCI2_HIDDEN __attribute__((visibility("hidden")))

namespace tsci2 {

/* ---- arithmetic of one measurement ------------------------------------- */

/*
 * One sub-sample: a TSC reading, an OS reading, a TSC reading, back to back.
 * A reading of both OS clocks also holds the monotonic clock, read right
 * after the real-time clock inside the same two TSC readings.
 */
struct sub_sample {
    uint64 tsc_begin;
    struct timeval tv;
    uint64 tsc_end;
    int64 mono_ns = 0; /* CLOCK_MONOTONIC, nanoseconds; 0 when not read */
};

/*
 * The TSC's period in the OS clock's microseconds, from two readings of
 * both clocks: monotonic microseconds elapsed over the ticks elapsed between
 * their TSC midpoints (taken as signed).  The monotonic clock is never
 * stepped, so a step of the real-time clock between them cannot spoil it.
 * IEEE division: 0 ticks give an infinity or NaN, as measured.
 */
TSCI2_HIDDEN double slope_from_readings(const sub_sample &begin, const sub_sample &end);

/*
 * The first record's slope is kept when it is positive and within
 * TSCI2_SLOPE_AGREEMENT of a second slope measured over the following
 * millisecond or so: a TSC that jumped inside either span disagrees.
 */
TSCI2_HIDDEN bool slope_plausible(double slope, double second_slope);

/*
 * Initial calibration, one sub-sample: t1, t3 = ticks * slope truncated to
 * signed 64 bits, t2 the OS microseconds; delta1 = t2 - t1, delta2 = t3 - t2.
 */
TSCI2_HIDDEN void calibration_deltas(const sub_sample &s, double slope, int64 *delta1, int64 *delta2);

/*
 * Offset measurement, one sub-sample: usecs_begin, usecs_end = ticks * slope
 * + intercept (double) truncated through signed 64 bits to unsigned;
 * usecs_sys the OS microseconds; delta_forth = usecs_sys - usecs_begin,
 * delta_back = usecs_end - usecs_sys, taken as signed.
 */
TSCI2_HIDDEN void offset_deltas(const sub_sample &s, double slope, int64 intercept, int64 *delta_forth,
                                int64 *delta_back);

/* The running minimum: a minimum of exactly 0 counts as not yet set. */
TSCI2_HIDDEN void keep_minimum(int64 *min_delta, int64 delta);

/* (min_forth - min_back) / 2, truncating toward zero. */
TSCI2_HIDDEN int64 half_difference(int64 min_forth, int64 min_back);

/* The intercept the initial calibration derives from `count` sub-samples. */
TSCI2_HIDDEN int64 intercept_from_sub_samples(const sub_sample *samples, int count, double slope);

/* The offset poll_offset derives from `count` sub-samples against a record. */
TSCI2_HIDDEN int64 offset_from_sub_samples(const sub_sample *samples, int count, double slope,
                                           int64 intercept);

/* The midpoint of a bracket's two TSC readings. */
TSCI2_HIDDEN uint64 bracket_midpoint(const sub_sample &s);

/* ---- loop filter: writes the context and the tsci2_* globals ------------ */

/* Number of records a slew of fp_offset writes: |fp_offset| for 1..10, else 10. */
TSCI2_HIDDEN int64 slew_iterations(int64 fp_offset);

/* Running RMS: sqrt(prev^2 + (sample^2 - prev^2) / TSCI2_RMS_WEIGHT). */
TSCI2_HIDDEN double rms_update(double previous, double sample);

TSCI2_HIDDEN void reset_loop(int state, uint64 epoch, int64 offset);
TSCI2_HIDDEN void init_loopfilter(CALIBRATION_CONTEXT_H d_rec);
TSCI2_HIDDEN void step_tsctime(CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset);
TSCI2_HIDDEN double slew_tsctime(CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset);

/*
 * A record that comes into force at once: written at idx + 1 (slope, then
 * intercept), then valid_idx, then idx; stepcount counts it.  Records a slew
 * left ahead of idx are dropped: the new record is meant to replace them.
 */
TSCI2_HIDDEN void write_step(CALIBRATION_CONTEXT_H d_rec, double slope, int64 intercept);

/* The slew's change of slope, microseconds per tick: 0.75 of the frequency error since the last measurement. */
TSCI2_HIDDEN double slew_dtemp(uint64 epoch, int64 fp_offset);

/* The slope of the record in force, microseconds per tick. */
TSCI2_HIDDEN double slope_in_force(CALIBRATION_CONTEXT_H d_rec);

/* What the loop would correct after a measurement. */
enum loop_correction_kind {
    LOOP_NONE,  /* nothing (a spike held back, or a state that corrects nothing) */
    LOOP_STEP,  /* a record moved by fp_offset, in force at once */
    LOOP_SLEW,  /* the slope changed and fp_offset spread over up to TSCI2_SLEWS records */
};

struct loop_correction {
    loop_correction_kind kind;
    uint64 epoch;                    /* the measurement's tick: the poll's last TSC reading */
    int64 fp_offset;                 /* the OS clock's offset from the record in force, us */
    bool first_step;                 /* the step of the loop's first measurement (from S_NSET) */
    double slope_change_us_per_tick; /* a slew's change of slope (slew_dtemp); 0 otherwise */
};

/*
 * The loop filter's decision on a measurement: updates tsci2_* (state, last
 * time and offset, jitter, stability, poll factor) and writes no record.
 * slope_in_force is the slope the offset was measured against (for the
 * slew's frequency correction, which the stability tracks).
 */
TSCI2_HIDDEN loop_correction decide_loop(uint64 epoch, int64 fp_offset, double slope_in_force);

/* The loop's correction written as records: step_tsctime or the slew's records. */
TSCI2_HIDDEN void write_loop_correction(CALIBRATION_CONTEXT_H d_rec, const loop_correction &c);

/* decide_loop and write_loop_correction: 1 when it stepped the calibration, 0 otherwise. */
TSCI2_HIDDEN int loop_filter(CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset);

/* Counts a cycle on tsci2_poll_timer: true (and the timer back to 0) when a poll is due. */
TSCI2_HIDDEN bool poll_due();

/* ---- clock reading (discipline_clock::active, vek_base_sleep) ---------- */

/* One OS clock reading between two TSC readings. */
TSCI2_HIDDEN sub_sample read_bracket(const discipline_clock::clock_source &clocks);

/* The same with the monotonic clock read right after the real-time clock. */
TSCI2_HIDDEN sub_sample read_both_clocks(const discipline_clock::clock_source &clocks);

/* The narrowest of `count` readings of both clocks taken back to back. */
TSCI2_HIDDEN sub_sample narrowest_reading(const discipline_clock::clock_source &clocks, int count);

/*
 * Fills one record in place: the one-second slope against the monotonic
 * clock, then the intercept against the real-time clock; measured again
 * (up to TSCI2_SLOPE_ATTEMPTS times) while the slope is not plausible.
 */
TSCI2_HIDDEN void tsci2_poll(calibration_record_t *c_record);

/* Offset of the OS clock from the record in force; returns the epoch. */
TSCI2_HIDDEN uint64 poll_offset(CALIBRATION_CONTEXT_H d_rec, int64 *p_fp_offset);

} // namespace tsci2

#endif /* YALTIME_TSCI2_LOOPFILTER_INTERNAL_H */
