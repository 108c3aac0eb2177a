/*
 * disturbance_watch.h - the disturbance watch, for the discipline thread and
 * for tests.
 *
 * The loop filter (tsci2_loopfilter.cpp) follows the microsecond offsets of a
 * TSC clock in step with the OS clock, one poll every 16 to 64 seconds.  The
 * watch follows, within seconds, what the loop was not made for:
 *
 *   - the real-time clock stepped (set by hand, a time daemon's step, a leap
 *     second, a resume).  The kernel changes real-time minus monotonic time
 *     only then, so the watch sees the step and its exact size, and steps
 *     the calibration by it, slope kept;
 *   - an offset from the loop's line far beyond what the loop leaves
 *     (TSCI2_UNEXPLAINED_US): the OS clock slewed by a time daemon, the TSC's
 *     rate changed, the TSC jumped.  Corrected in phase at once; when an
 *     offset grows again within TSCI2_LESSON_WINDOW_S of a correction
 *     (beyond TSCI2_PERSIST_US), the rate is corrected too, measured against
 *     the monotonic clock over the span since the correction (never in the
 *     slope's own ticks-times-slope units).
 *
 * Once a cycle it takes up to TSCI2_CHECK_TRIES readings of TSC, real-time
 * clock, monotonic clock and TSC, and keeps the narrowest; one whose TSC
 * readings lie more than TSCI2_BRACKET_LIMIT_US apart (the thread was
 * preempted inside it) decides nothing and is not remembered.
 *
 * Internal: hidden symbols, reachable from the tests' static yaltime_core.
 * Everything here runs in the discipline thread, or in the initial
 * calibration before that thread exists.
 */
#ifndef YALTIME_DISTURBANCE_WATCH_H
#define YALTIME_DISTURBANCE_WATCH_H

#include "public/portable.h"
#include "time/tsci2_loopfilter.h"
#include "time/tsci2_loopfilter_internal.h"

#define TSCI2_BRACKET_LIMIT_US 50 /* widest reading the watch trusts */
#define TSCI2_CHECK_TRIES 3       /* readings per check; the narrowest is kept */
#define TSCI2_OS_STEP_MIN_US 5    /* real-time minus monotonic change taken for a step, beyond both widths */
#define TSCI2_UNEXPLAINED_US 64   /* offset from the loop's line that the watch corrects */
#define TSCI2_PERSIST_US 16       /* offset grown since a correction that makes a rate lesson (plus 4 widths) */
#define TSCI2_LESSON_WINDOW_S 64  /* longest span since the correction a lesson is measured over */
#define TSCI2_LESSON_MIN_S 0.5    /* shortest span */
#define TSCI2_LESSON_FACTOR 4.0   /* a rate further than this factor from the slope is no lesson */

namespace tsci2 {

/*
 * One reading against a line: the offset (as poll_offset forms it from one
 * sub-sample) into *fp_offset, and true when the reading is narrow enough to
 * trust: a positive slope and at most TSCI2_BRACKET_LIMIT_US between its two
 * TSC readings.
 */
TSCI2_HIDDEN bool bracket_offset(const sub_sample &s, double slope, int64 intercept, int64 *fp_offset);

/* What the watch keeps from one check to the next. */
struct watch_state {
    bool started;                 /* a trusted reading is held */
    int64 os_minus_mono_ns;       /* real-time minus monotonic at it */
    double width_us;              /* its TSC readings' distance */
    bool corrected;               /* a phase correction or rate lesson was made, at: */
    uint64 corrected_tsc;         /*   its TSC midpoint */
    int64 corrected_mono_ns;      /*   its monotonic reading */
    double corrected_width_us;    /*   its width */
};

TSCI2_HIDDEN extern watch_state watch;

enum watch_action {
    WATCH_NONE,      /* nothing the loop cannot follow */
    WATCH_UNTRUSTED, /* a wide reading: nothing decided */
    WATCH_OS_STEP,   /* the real-time clock stepped by offset_us */
    WATCH_PHASE,     /* offset_us corrected in phase */
    WATCH_RATE,      /* offset_us corrected in phase, and the slope set to `slope` */
};

struct watch_verdict {
    watch_action action;
    int64 offset_us;
    double slope;
};

/*
 * One trusted or untrusted reading against the line the loop has written
 * last (the record at valid_idx: what the loop means to be in force once
 * its slew is through), judged against what the watch kept.
 */
TSCI2_HIDDEN watch_verdict judge(const watch_state &w, const sub_sample &s, double slope, int64 intercept);

/* What the watch keeps after `s` was judged `v` (nothing for an untrusted one). */
TSCI2_HIDDEN void remember(watch_state *w, const sub_sample &s, double slope, const watch_verdict &v);

/* The reference the checks start from: the initial calibration's last reading. */
TSCI2_HIDDEN void watch_start(const sub_sample &s, double slope);

/*
 * Writes what verdict `v` on reading `s` against the line (slope,
 * intercept) calls for: one record in force at once, the line moved by the
 * offset (and turned to the lesson's slope about the reading's midpoint).
 * A rate lesson also restarts the loop's frequency estimate from the
 * reading, with short polls.  1 when it wrote.
 */
TSCI2_HIDDEN int watch_apply(CALIBRATION_CONTEXT_H d_rec, const sub_sample &s, double slope, int64 intercept,
                             const watch_verdict &v);

/* The per-cycle check: reads the clocks, judges, remembers, applies. */
TSCI2_HIDDEN int watch_check(CALIBRATION_CONTEXT_H d_rec);

} // namespace tsci2

#endif /* YALTIME_DISTURBANCE_WATCH_H */
