/*
 * tsci2_loopfilter.h - the calibration context and the TSC discipline.
 *
 * A calibration context ties TSC ticks to wall-clock time through a ring of
 * straight lines, seconds = (ticks * slope + intercept) * 1e-6, and an index
 * naming the line in force.  The same bytes are a process's own variable or
 * the shared-memory area that several processes map, so the layout below is
 * an exchange format: little-endian, 16408 bytes, identical on x86-64 and
 * i386 (the explicit gap keeps the table at offset 24 on both, since the
 * i386 ABI would otherwise align its 64-bit members to 4 bytes).
 *
 * The discipline (initial calibration, offset polls, loop filter, thread,
 * and the disturbance watch of disturbance_watch.h) writes a context;
 * tsci2_loopfilter_init and tsci2_loopfilter_thread are its exported
 * entries, and the tsci2_* globals expose the loop's state.
 */
#ifndef TSCI2_LOOPFILTER_H
#define TSCI2_LOOPFILTER_H

#include "../public/osdef.h"
#include "../public/portable.h"

OSDEF_BEGIN_C

#define CALIB_TABLE_SIZE 1024

typedef struct calibration_record_t {
    double slope;    /* microseconds per tick */
    int64 intercept; /* microseconds since 1970 at tick 0 */
} __attribute__((aligned(8))) calibration_record_t, CALIBRATION_RECORD_T;

typedef struct calibration_context_t {
    int32_t activity;  /* heartbeat: +1 per discipline cycle */
    int32_t updates;   /* records brought into force by the discipline thread */
    int32_t stepcount; /* steps taken by the loop filter */
    int32_t idx;       /* record in force, 0..1023; -1 during initial calibration */
    int32_t valid_idx; /* last record written ahead of idx */
    int32_t reserved;  /* gap before the table; zero in a cleared area */
    calibration_record_t calib_table[CALIB_TABLE_SIZE];
} __attribute__((aligned(8))) calibration_context_t, CALIBRATION_CONTEXT_T;

typedef calibration_context_t *CALIBRATION_CONTEXT_H;

#define CALIBRATION_CONTEXT_SIZE 16408

/* Loop-filter states (tsci2_state). */
#define S_NSET 0 /* no measurement yet: the next one steps */
#define S_FREQ 1 /* defined, never entered */
#define S_SYNC 2 /* in step: measurements slew */
#define S_SPIK 3 /* spike seen */

#define TSCI2_FREQ_FACTOR 0.75   /* share of the frequency error put into the slope */
#define TSCI2_SLEWS 10           /* most records an offset is spread over */
#define TSCI2_RMS_WEIGHT 4.0     /* running RMS: a sample moves the mean square by 1/4 */
#define TSCI2_POPCORN_SIGMA 3.0  /* spike threshold in units of jitter */
#define TSCI2_MINPOLL 16         /* shortest poll interval, cycles */
#define TSCI2_MAXPOLL 64         /* longest poll interval, cycles */
#define TSCI2_STABILITY_LIMIT_PPM 2.0 /* above it polls shorten, at or below they lengthen */
#define TSCI2_STEP_LIMIT 128000  /* microseconds; larger offsets are stepped, not slewed */
#define TSCI2_SLOPE_BRACKETS 5   /* brackets at each end of the initial slope pair */
#define TSCI2_SLOPE_AGREEMENT 0.05 /* the initial slope kept within 5 % of a second measurement */
#define TSCI2_SLOPE_ATTEMPTS 3   /* initial slopes measured at most; the last is kept as measured */

#define SUB_SAMPLES 10                  /* readings per offset measurement */
#define SUB_SAMPLE_INTERVAL_SECS 0.0001 /* sleep after each sub-sample */
#define DAEMON_UPDATE_INTERVAL 1        /* seconds per discipline cycle */

/* Loop state, process-local, written only by the discipline thread. */
OSDEF_EXPORT extern int tsci2_state;
OSDEF_EXPORT extern uint64 tsci2_last_time;
OSDEF_EXPORT extern int64 tsci2_last_offset;
OSDEF_EXPORT extern double tsci2_jitter;
OSDEF_EXPORT extern double tsci2_stability;
OSDEF_EXPORT extern unsigned int tsci2_poll_factor;
OSDEF_EXPORT extern unsigned int tsci2_poll_timer;
OSDEF_EXPORT extern unsigned int tsci2_hold_timer;

/* Fills a fresh context with a first measured record (about one second). */
OSDEF_EXPORT void tsci2_loopfilter_init(CALIBRATION_CONTEXT_H d_rec);

/* The discipline thread: one cycle a second, for ever. */
OSDEF_EXPORT void *tsci2_loopfilter_thread(void *arg);

OSDEF_END_C

#ifdef __cplusplus
static_assert(sizeof(calibration_record_t) == 16, "record layout");
static_assert(sizeof(calibration_context_t) == CALIBRATION_CONTEXT_SIZE, "context layout");
static_assert(__builtin_offsetof(calibration_context_t, activity) == 0, "activity offset");
static_assert(__builtin_offsetof(calibration_context_t, updates) == 4, "updates offset");
static_assert(__builtin_offsetof(calibration_context_t, stepcount) == 8, "stepcount offset");
static_assert(__builtin_offsetof(calibration_context_t, idx) == 12, "idx offset");
static_assert(__builtin_offsetof(calibration_context_t, valid_idx) == 16, "valid_idx offset");
static_assert(__builtin_offsetof(calibration_context_t, calib_table) == 24, "table offset");
static_assert(__builtin_offsetof(calibration_record_t, slope) == 0, "slope offset");
static_assert(__builtin_offsetof(calibration_record_t, intercept) == 8, "intercept offset");
#else
_Static_assert(sizeof(calibration_context_t) == CALIBRATION_CONTEXT_SIZE, "context layout");
_Static_assert(__builtin_offsetof(calibration_context_t, calib_table) == 24, "table offset");
#endif

#endif /* TSCI2_LOOPFILTER_H */
