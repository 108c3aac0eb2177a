/*
 * active_calibration.h - which calibration context is in force for this
 * process, chosen on every clock reading.
 *
 * A process started local-only uses its own context; the owner of the shared
 * area "yal_time_master" uses the area; any other process uses the area while
 * its heartbeat (the owner's `activity`) has changed within the last ten
 * whole seconds, and its own context otherwise.  The reading path never maps
 * anything: the area, and another object under its name once it is stale,
 * are looked for by the discipline thread (area_watch.h), which publishes
 * what it takes up in Master_calibration.  A reading loads that pointer once;
 * in every state (live, stale, absent) it makes no system call, takes no lock
 * and allocates nothing.
 *
 * The choice runs on every reading, so it is inline and costs, on a reader,
 * one load of the shared heartbeat and a comparison with a precomputed tick
 * threshold; the choice state is written only when its value changes, so
 * reader threads do not bounce its cache line between cores.  All of it is
 * relaxed atomics: a race over the last-seen heartbeat can make one wrong
 * live-or-stale choice, which the next call corrects.
 */
#ifndef YALTIME_ACTIVE_CALIBRATION_H
#define YALTIME_ACTIVE_CALIBRATION_H

#include <atomic>

#include "time/calibration.h"

/* Codes of Calibration_using. */
enum calibration_code {
    CALIBRATION_UNCHOSEN = 0,
    CALIBRATION_OWNER = 1,
    CALIBRATION_SHARED = 2,
    CALIBRATION_OWN = 3,
};

#define YALTIME_SHARED_AREA_NAME "yal_time_master"

/* Process-wide state, set by start before the discipline thread exists. */
extern calibration_context_t Thread_calibration;
extern std::atomic<calibration_context_t *> Master_calibration;
extern std::atomic<bool> Calibration_local_only;
extern std::atomic<int> Calibration_using;
extern std::atomic<int> Master_last_activity;
extern std::atomic<YALTIME_TSC_T> Master_last_activity_tsc;
extern std::atomic<double> clock_resolution;
extern std::atomic<double> TSC_period;
extern std::atomic<YALTIME_TSC_T> TSC_rate;

/* Tick spans derived from TSC_rate: "more than 1 whole second" and "10 or more". */
extern std::atomic<YALTIME_TSC_T> Remap_after_ticks;
extern std::atomic<YALTIME_TSC_T> Stale_after_ticks;

/* Sets TSC_rate and the thresholds derived from it. */
void set_tsc_rate(YALTIME_TSC_T rate);

/* The area the discipline thread has published since this reading loaded
 * none, or null.  Out of line, so that the reading path stays as it was. */
calibration_context_t *published_shared_area(YALTIME_TSC_T now_tsc);

/* The choice while the area is stale: this process's own context. */
calibration_context_t *leave_stale_area(YALTIME_TSC_T now_tsc);

static inline void note_calibration_using(int code)
{
    if (Calibration_using.load(std::memory_order_relaxed) != code)
        Calibration_using.store(code, std::memory_order_relaxed);
}

static inline calibration_context_t *use_own_calibration()
{
    note_calibration_using(CALIBRATION_OWN);
    return &Thread_calibration;
}

/* The reader's choice between another process's area and its own context. */
static inline calibration_context_t *choose_shared_or_own(YALTIME_TSC_T now_tsc)
{
    calibration_context_t *area = Master_calibration.load(std::memory_order_acquire);
    if (area == nullptr) {
        const YALTIME_TSC_T since_attempt = now_tsc - Master_last_activity_tsc.load(std::memory_order_relaxed);
        if (since_attempt < Remap_after_ticks.load(std::memory_order_relaxed))
            return use_own_calibration();
        area = published_shared_area(now_tsc);
        if (area == nullptr)
            return use_own_calibration();
    }

    const int activity = calib::load(area->activity);
    if (activity != Master_last_activity.load(std::memory_order_relaxed)) {
        Master_last_activity.store(activity, std::memory_order_relaxed);
        Master_last_activity_tsc.store(now_tsc, std::memory_order_relaxed);
        note_calibration_using(CALIBRATION_SHARED);
        return area;
    }
    const YALTIME_TSC_T since_heartbeat = now_tsc - Master_last_activity_tsc.load(std::memory_order_relaxed);
    if (since_heartbeat < Stale_after_ticks.load(std::memory_order_relaxed)) {
        note_calibration_using(CALIBRATION_SHARED);
        return area;
    }
    return leave_stale_area(now_tsc);
}

/*
 * The context in force, never null.  `now_tsc` is a TSC reading the caller
 * has just taken; the reader's path uses it as the time of the choice.
 */
/* The choice of a local-only process or the owner, which needs no TSC; else null. */
static inline calibration_context_t *fixed_calibration()
{
    if (Calibration_local_only.load(std::memory_order_relaxed))
        return use_own_calibration();
    if (Calibration_using.load(std::memory_order_relaxed) == CALIBRATION_OWNER)
        return Master_calibration.load(std::memory_order_relaxed);
    return nullptr;
}

static inline calibration_context_t *get_active_calibration_at(YALTIME_TSC_T now_tsc)
{
    calibration_context_t *context = fixed_calibration();
    return context ? context : choose_shared_or_own(now_tsc);
}

/* As above, reading the TSC only when the choice needs it. */
static inline calibration_context_t *get_active_calibration()
{
    calibration_context_t *context = fixed_calibration();
    return context ? context : choose_shared_or_own(rdtsc());
}

/* Seconds per tick of `context`, or the start-up TSC_period if not positive. */
static inline double period_or_start_up(calibration_context_t *context)
{
    const double period = calib_period(context);
    return period > 0 ? period : TSC_period.load(std::memory_order_relaxed);
}

static inline double get_tsc_period_at(YALTIME_TSC_T now_tsc)
{
    return period_or_start_up(get_active_calibration_at(now_tsc));
}

static inline double get_tsc_period() { return period_or_start_up(get_active_calibration()); }

#endif /* YALTIME_ACTIVE_CALIBRATION_H */
