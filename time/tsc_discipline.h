/*
 * tsc_discipline.h - the discipline: the one author of every correction of
 * a calibration context after the initial calibration.
 *
 * Once a cycle the discipline thread reads both OS clocks between two TSC
 * readings a few times, keeps the narrowest reading, and hands it here.  The
 * discipline then
 *
 *   - tells what moved, from the clocks alone (tsc_discipline.cpp says
 *     which clock tells what): the real-time clock was stepped when
 *     real-time minus monotonic changed; the TSC jumped or changed its
 *     rate when the raw monotonic clock, which no time daemon steers,
 *     disagrees with the ticks elapsed at the TSC's rate against it
 *     (without a raw clock: the monotonic clock, as the only witness), and
 *     the next reading tells which of the two; anything else is a change
 *     of the OS clock's rate, a daemon's slew or steering;
 *   - keeps an estimate of the OS clock's phase and rate in ticks
 *     (estimate_line): a weighted least-squares line through the recent
 *     readings, restarted from the last two when a reading falls outside
 *     what the line predicts (the rate changed);
 *   - writes one record a cycle that leaves the clock where it is at the
 *     tick it takes over and heads for the estimate, reaching it one cycle
 *     later where it can do so at no less than half and no more than twice
 *     the OS clock's rate; so the clock never jumps, and never goes back,
 *     but for what jumped: it steps only then, by the OS clock's step, or
 *     back by no more than the TSC jumped forward.
 *
 * The specified loop filter keeps polling on its schedule and keeps its
 * state (tsci2_*), but its offsets are measured against the records written
 * here and stay near zero.  It writes nothing itself: the thread's cycle
 * (discipline_cycle.h) hands the correction it decides (loop_correction) to
 * take_loop_correction, which takes the loop's first step as a step to the
 * discipline's own estimate and lets the rest go.  One author writes every
 * record.
 *
 * Internal: hidden symbols, reachable from the tests' static yaltime_core.
 * Everything here runs in the discipline thread, or in the initial
 * calibration before that thread exists.
 */
#ifndef YALTIME_TSC_DISCIPLINE_H
#define YALTIME_TSC_DISCIPLINE_H

#include "public/portable.h"
#include "time/discipline_clock.h"
#include "time/tsci2_loopfilter.h"
#include "time/tsci2_loopfilter_internal.h"

#define TSCI2_HIDDEN __attribute__((visibility("hidden")))

#define DISCIPLINE_BRACKETS 5          /* readings per cycle; the narrowest is kept */
#define DISCIPLINE_WIDTH_LIMIT_NS 50000.0 /* a wider reading (a preemption) decides nothing */
#define DISCIPLINE_HISTORY 12          /* readings the estimate is fitted over, at most */
#define DISCIPLINE_OS_STEP_MIN_NS 5000.0  /* real-time minus monotonic change taken for a step, beyond both widths */
#define DISCIPLINE_TSC_JUMP_NS 64000.0 /* raw (else monotonic) minus ticks' time over one cycle taken for a TSC jump or rate */
#define DISCIPLINE_SLEW_LIMIT_NS 1000000.0 /* without a raw clock, a larger phase error is stepped */
#define DISCIPLINE_RATE_SMOOTHING 8.0  /* the TSC's rate against the raw clock moves by 1/8 of each cycle's */
#define DISCIPLINE_CATCH_UP_FACTOR 2.0 /* a continuation runs at no more than 2x, no less than 1/2x the rate */
#define DISCIPLINE_SPEED_UP_PIVOT_NS 2000000.0 /* a faster record takes over from this long before now */
#define DISCIPLINE_SLOW_DOWN_PIVOT_NS 100000.0 /* a slower record takes over this long after now */
#define DISCIPLINE_CHANGE_SIGMAS 6.0   /* a reading this many typical misses off the line: the rate changed */
#define DISCIPLINE_NOISE_FLOOR_NS 10.0 /* the smallest typical miss the change test assumes */
#define DISCIPLINE_NARROW_FACTOR 2.0   /* a reading up to this many typical widths counts as narrow */
#define DISCIPLINE_RATE_FACTOR 4.0     /* a new TSC rate further than this factor from the last is not taken */
#define DISCIPLINE_FIRST_RATE_TOLERANCE 0.1 /* how far the start's rate may be off the TSC's against the raw clock */
#define DISCIPLINE_STEP_BACK_MARGIN_NS 1000.0 /* a step back onto an estimate stops this short of it */
#define DISCIPLINE_JOIN_BELOW_NS 1.0   /* a context joining another's line aims this far below it */

namespace tsci2 {

/*
 * Both OS clocks read between two TSC readings, back to back; then the raw
 * clock between tsc_end and a third TSC reading, so that its bracket adds
 * nothing to the uncertainty of the other two.
 */
struct clock_reading {
    uint64 tsc_begin;
    int64 realtime_ns; /* CLOCK_REALTIME, ns since 1970 */
    int64 mono_ns;     /* CLOCK_MONOTONIC */
    uint64 tsc_end;
    int64 raw_ns = 0;     /* CLOCK_MONOTONIC_RAW */
    uint64 raw_tsc_end = 0;
    bool has_raw = false; /* the raw clock was read (the kernel has one) */
};

/* The narrowest of `count` readings (a preempted one cannot pass for it). */
TSCI2_HIDDEN clock_reading narrowest_clock_reading(const discipline_clock::clock_source &clocks, int count,
                                                   bool with_raw);

/* The OS real-time clock as a line in ticks: ns at `tsc`, and ns per tick. */
struct phase_line {
    uint64 tsc;
    long double ns;
    double ns_per_tick;

    long double at(uint64 ticks) const
    {
        return ns + static_cast<long double>(static_cast<int64>(ticks - tsc)) * ns_per_tick;
    }
};

/* One reading as the estimate uses it: real-time at a tick. */
struct phase_point {
    uint64 tsc;
    int64 realtime_ns; /* moved by every OS step since, so all points share one frame */
    double width_ns;
};

/* What a reading showed. */
enum reading_verdict {
    READING_UNTRUSTED,  /* too wide, or no start yet: nothing learnt */
    READING_IN_STEP,    /* on the line, or a rate change followed */
    READING_OS_STEP,    /* the real-time clock was stepped by os_step_ns */
    READING_TSC_JUMP,   /* the TSC disagreed with its witness: a jump or a new rate, which the
                           next reading tells; the estimate starts again from this reading */
    READING_TSC_JUMPED, /* the last reading's disagreement was a jump: this one agrees */
    READING_TSC_RATE,   /* it was a new rate: this one disagrees again, and the line has it */
};

/*
 * The estimate of the OS clock against the TSC, and what the next reading
 * is judged against.  A value type: the discipline thread holds one, tests
 * make their own.
 */
class phase_estimate {
public:
    /* Starts from a first reading and a rate in microseconds per tick. */
    void start(const clock_reading &r, double slope_us_per_tick);
    bool started() const { return count_ > 0; }

    /* Takes a reading in; what it showed.  os_step_ns is set for READING_OS_STEP. */
    reading_verdict take(const clock_reading &r, int64 *os_step_ns);

    /* How far the TSC ran ahead of its witness at the last disagreement, ns. */
    double tsc_jump_ns() const { return tsc_ahead_ns_; }

    /* How far the last OS step measured may be off the step made: both readings' widths. */
    double os_step_uncertainty_ns() const { return os_step_uncertainty_ns_; }

    /* The OS real-time clock as estimated now. */
    phase_line line() const { return line_; }

    /* A raw clock tells TSC jumps apart: phase errors are never stepped. */
    bool uses_raw() const { return uses_raw_; }

private:
    double width_ns(const clock_reading &r) const;
    double raw_width_ns(const clock_reading &r) const;
    bool os_stepped(const clock_reading &r, double width_ns, int64 *step_ns) const;
    bool tsc_jumped(const clock_reading &r, double width_ns);
    bool take_new_tsc_rate(const clock_reading &r);
    void track_raw_rate(const clock_reading &r);
    void remember(const clock_reading &r, double width_ns);
    void restart_from(const phase_point &p);
    void restart_from_last_narrow();
    bool is_narrow(double width_ns) const;
    double weight(const phase_point &p) const;
    void fit();

    phase_point history_[DISCIPLINE_HISTORY] = {};
    int first_ = 0; /* oldest point in the ring */
    int count_ = 0;
    phase_line line_ = {0, 0.0L, 0.0};
    double noise_ns_ = DISCIPLINE_NOISE_FLOOR_NS;
    /* the last trusted reading */
    int64 os_minus_mono_ns_ = 0;
    int64 mono_ns_ = 0;
    uint64 mono_tsc_ = 0;
    int64 raw_ns_ = 0;
    uint64 raw_tsc_ = 0;
    double raw_ns_per_tick_ = 0; /* the TSC's rate against the raw clock; 0 until measured */
    double last_raw_width_ns_ = 0;
    bool uses_raw_ = false;
    double last_width_ns_ = 0;
    bool jumped_last_ = false; /* the last reading disagreed with the TSC's witness */
    double tsc_ahead_ns_ = 0;  /* the ticks' time minus the witness's over the last cycle */
    double os_step_uncertainty_ns_ = 0;
    double last_miss_ns_ = 0;  /* how far the last reading fell from the line */
    double typical_width_ns_ = 0;
};

/*
 * The record that continues `in_force` without a jump at `pivot_tsc` and
 * reaches `target` one cycle (`cycle_ticks`) later: whole-microsecond
 * intercept, the fraction carried by the slope through the pivot.  Its
 * slope stays within DISCIPLINE_CATCH_UP_FACTOR of the target's, so a
 * phase error larger than that takes several cycles, always forward.
 */
TSCI2_HIDDEN calibration_record_t continuation_record(const calibration_record_t &in_force, uint64 pivot_tsc,
                                                      const phase_line &target, uint64 cycle_ticks);

/* The record that reads `target` itself (a step), with the same rounding. */
TSCI2_HIDDEN calibration_record_t step_record(const phase_line &target, uint64 pivot_tsc);

/* The record that reads `in_force` moved by `shift_us` at `pivot_tsc` (a step
 * by a known amount), at the target's rate, with the same rounding. */
TSCI2_HIDDEN calibration_record_t shifted_record(const calibration_record_t &in_force, uint64 pivot_tsc,
                                                 const phase_line &target, long double shift_us);

/*
 * The discipline of one context: its estimate, and the records it writes.
 * The discipline thread holds one on its stack; tests make their own.
 */
class tsc_discipline {
public:
    /*
     * Starts from a fresh reading and the slope of the record in force.
     * Not started when that slope is not a positive number: the specified
     * loop then corrects the context alone.
     */
    void start(CALIBRATION_CONTEXT_H d_rec);

    /* As start, on a context some discipline has been correcting (a fork's
     * child carries on with its parent's): its record in force, a catch-up
     * included, is continued, never stepped. */
    void start_inherited(CALIBRATION_CONTEXT_H d_rec);
    bool started() const { return estimate_.started(); }

    /* One cycle: read, judge, and write the next record into d_rec.  True
     * when that record came into force with a jump (counted in stepcount). */
    bool correct(CALIBRATION_CONTEXT_H d_rec);

    /* A step to the estimate, never back: a record in force at once, counted in stepcount. */
    void step_to_estimate(CALIBRATION_CONTEXT_H d_rec);

    /* Brings `record` (another context's, which this process's readings
     * use) into force in d_rec as it is, so that they can move over to it
     * without a jump; the next correction continues from it. */
    void follow(CALIBRATION_CONTEXT_H d_rec, const calibration_record_t &record);

    /* Slows d_rec down onto `record`'s line (another context's, which reads
     * earlier), to meet it DISCIPLINE_JOIN_BELOW_NS below within a cycle,
     * so that readings can move over to it forward; never back. */
    void join(CALIBRATION_CONTEXT_H d_rec, const calibration_record_t &record);

    /* Makes the correction the loop filter decided on a poll (decide_loop). */
    void take_loop_correction(CALIBRATION_CONTEXT_H d_rec, const loop_correction &c);

private:
    calibration_record_t continuation(const calibration_record_t &in_force, const phase_line &target,
                                      uint64 now_tsc, const long double *shift_ns = nullptr) const;
    void write(CALIBRATION_CONTEXT_H d_rec, const calibration_record_t &record, bool step);
    void publish_continuation(CALIBRATION_CONTEXT_H d_rec, const calibration_record_t &in_force,
                              const phase_line &target, uint64 made_at_tsc, const long double *shift_ns = nullptr,
                              bool step = false);

    phase_estimate estimate_;
    bool step_first_ = false; /* the initial calibration's record is off the first reading */
};

} // namespace tsci2

#endif /* YALTIME_TSC_DISCIPLINE_H */
