/*
 * tsci2_loopfilter_internal.h - the pieces of the TSC discipline, for tests.
 *
 * Everything here lives in tsci2_loopfilter.cpp with hidden visibility: it is
 * reachable from the static yaltime_core that the tests link, and never from
 * the shared library (whose exports are fixed by yaltime.exports.map).  The
 * component itself uses only tsci2_loopfilter_init, tsci2_loopfilter_thread
 * and the tsci2_* globals of tsci2_loopfilter.h.
 *
 * The arithmetic is kept apart from the reading of clocks: the functions in
 * the first half take readings as plain values; those in the second half
 * read the clocks of discipline_clock.h and sleep through vek_base_sleep.
 *
 * Conversions of a double to an integer are defined for every input: in
 * range they truncate toward zero; NaN gives 0 and values beyond the signed
 * 64-bit range clamp to its ends.  Signed 64-bit additions, subtractions and
 * products wrap modulo 2^64 instead of overflowing (in range they are the
 * ordinary results).
 */
#ifndef YALTIME_TSCI2_LOOPFILTER_INTERNAL_H
#define YALTIME_TSCI2_LOOPFILTER_INTERNAL_H

#include <sys/time.h>

#include "public/portable.h"
#include "time/tsci2_loopfilter.h"

#define TSCI2_HIDDEN __attribute__((visibility("hidden")))

namespace tsci2 {

/* ---- integer helpers ---------------------------------------------------- */

constexpr int64 wrap_add(int64 a, int64 b)
{
    return static_cast<int64>(static_cast<uint64>(a) + static_cast<uint64>(b));
}

constexpr int64 wrap_sub(int64 a, int64 b)
{
    return static_cast<int64>(static_cast<uint64>(a) - static_cast<uint64>(b));
}

constexpr int64 wrap_mul(int64 a, int64 b)
{
    return static_cast<int64>(static_cast<uint64>(a) * static_cast<uint64>(b));
}

/* Truncation toward zero; NaN -> 0; clamped to [INT64_MIN, INT64_MAX]. */
TSCI2_HIDDEN int64 double_to_int64(double value);

/* double_to_int64, then the same bits as an unsigned count (-1 -> 2^64 - 1). */
TSCI2_HIDDEN uint64 double_to_uint64_via_int64(double value);

/* Position in the ring of `idx`: idx mod CALIB_TABLE_SIZE, in 0..1023. */
TSCI2_HIDDEN int32_t ring_index(int32_t idx);

/* tv_sec * 1000000 + tv_usec in signed 64-bit arithmetic. */
TSCI2_HIDDEN int64 timeval_usecs(const struct timeval &tv);

/* ---- arithmetic of one measurement ------------------------------------- */

/*
 * Slope of the initial calibration, microseconds per tick, from the pairs
 * (tsc_begin, tv_begin) and (tsc_end, tv_end) one second apart:
 * ((sec difference) * 1e6 + (usec difference)) / (tick difference), the
 * timeval differences in the fields' own width, the tick difference taken as
 * signed; IEEE division (0 ticks give an infinity or NaN, as measured).
 */
TSCI2_HIDDEN double slope_from_readings(uint64 tsc_begin, const struct timeval &tv_begin,
                                        uint64 tsc_end, const struct timeval &tv_end);

/* One sub-sample: a TSC reading, an OS reading, a TSC reading, back to back. */
struct sub_sample {
    uint64 tsc_begin;
    struct timeval tv;
    uint64 tsc_end;
};

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

/*
 * One per-cycle comparison against a record: the offset (as poll_offset
 * forms it from one sub-sample) into *fp_offset, and true when the bracket
 * is narrow enough to trust: a positive slope and at most
 * TSCI2_BRACKET_LIMIT_US between the two TSC readings.  A wide bracket (the
 * thread was preempted between its readings) proves nothing.
 */
TSCI2_HIDDEN bool bracket_offset(const sub_sample &s, double slope, int64 intercept, int64 *fp_offset);

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
 * True from a step (and from the initial calibration) until the next
 * measurement has shown the stepped record's rate; written only by the
 * discipline thread, read by nobody else.
 */
TSCI2_HIDDEN extern bool rate_unverified;

/*
 * The first measurement after a step: the record in force was on the OS clock
 * at tsci2_last_time, so fp_offset over the time since is its rate error.
 * Beyond TSCI2_RATE_LEARN the slope is corrected by it (the new slope held
 * within a factor of two of the old) and the offset stepped, in one new
 * record; 1 then, else 0.  A one-time step of the OS clock shows no rate
 * error and leaves the slope as it was.
 */
TSCI2_HIDDEN int learn_rate(CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset);

/* 1 when it stepped the calibration, 0 otherwise. */
TSCI2_HIDDEN int loop_filter(CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset);

/*
 * What a trusted per-cycle comparison does: the rate lesson of learn_rate,
 * or a step (slope kept, poll schedule kept) when |fp_offset| is beyond
 * TSCI2_STEP_LIMIT, or nothing.  1 when it stepped.
 */
TSCI2_HIDDEN int check_step(CALIBRATION_CONTEXT_H d_rec, uint64 epoch, int64 fp_offset);

/* ---- clock reading (discipline_clock::active, vek_base_sleep) ---------- */

/* Fills one record in place: the one-second slope, then the intercept. */
TSCI2_HIDDEN void tsci2_poll(calibration_record_t *c_record);

/* Offset of the OS clock from the record in force; returns the epoch. */
TSCI2_HIDDEN uint64 poll_offset(CALIBRATION_CONTEXT_H d_rec, int64 *p_fp_offset);

/*
 * The per-cycle comparison with the record in force: up to TSCI2_CHECK_TRIES
 * brackets, the first narrow one kept.  True with its offset and epoch (its
 * last TSC reading) when one was narrow.
 */
TSCI2_HIDDEN bool check_offset(CALIBRATION_CONTEXT_H d_rec, int64 *p_fp_offset, uint64 *p_epoch);

/* One cycle of tsci2_loopfilter_thread: sleep, heartbeat, poll or check, index move. */
TSCI2_HIDDEN void discipline_cycle(CALIBRATION_CONTEXT_H d_rec);

} // namespace tsci2

#endif /* YALTIME_TSCI2_LOOPFILTER_INTERNAL_H */
