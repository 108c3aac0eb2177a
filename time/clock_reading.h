/*
 * clock_reading.h - the calibrated time of a TSC value, with the OS clock as
 * fallback when the calibration in force gives no positive time.
 */
#ifndef YALTIME_CLOCK_READING_H
#define YALTIME_CLOCK_READING_H

#include <atomic>

#include "time/active_calibration.h"

/* Failed readings since load, and the TSC value before which no message is due. */
extern std::atomic<uint32_t> time_fail_count;
extern std::atomic<YALTIME_TSC_T> errmsg_timeout;

/*
 * The failure message due and not yet said.  A reading thread that finds one
 * due writes it here; the discipline thread says it (say_fail_message).
 * `seq` is odd while a reading thread writes the two values and grows by 2
 * with each message; `said_seq` is the `seq` of the last message said.  A
 * later message overwrites one not yet said: its count includes the earlier.
 */
struct fail_message_slot {
    std::atomic<uint32_t> seq{0};
    std::atomic<uint32_t> said_seq{0};
    std::atomic<uint32_t> earlier_failures{0};
    std::atomic<double> result{0.0};
};
extern fail_message_slot fail_message;

/* The failure path: counts, leaves a message at most once a second, returns the OS time. */
YALTIME_SEC_T gettime_failure(YALTIME_SEC_T now);
/* The same for a nanosecond reading: `now_ns` is what the calibration gave. */
int64_t gettime_failure_ns(long double now_ns);

/* Says the failure message left since the last call, if any: once a cycle from the discipline thread. */
void say_fail_message();

/*
 * Calibrated seconds at `ticks`, choosing the calibration with `now_tsc`,
 * a TSC reading the caller has just taken.
 */
static inline YALTIME_SEC_T calibrated_or_os_time(calibration_context_t *context, YALTIME_TSC_T ticks)
{
    const double now = calib_tsc_to_secs(context, ticks);
    if (now > 0)
        return now;
    return gettime_failure(now);
}

static inline YALTIME_SEC_T gettime_float_at(YALTIME_TSC_T ticks, YALTIME_TSC_T now_tsc)
{
    return calibrated_or_os_time(get_active_calibration_at(now_tsc), ticks);
}

static inline YALTIME_SEC_T gettime_float(YALTIME_TSC_T ticks)
{
    return calibrated_or_os_time(get_active_calibration(), ticks);
}

/* Calibrated nanoseconds at `ticks` (saturated at INT64_MAX), or the OS
 * clock's when the calibration gives no positive time. */
static inline int64_t calibrated_or_os_ns(calibration_context_t *context, YALTIME_TSC_T ticks)
{
    calib::line l;
    const long double ns = calib::record_in_force(context, &l) ? calib::line_tsc_to_ns(l, ticks) : 0.0L;
    if (!(ns > 0))
        return gettime_failure_ns(ns);
    if (ns >= 9223372036854775808.0L)
        return INT64_MAX;
    return calib::round_long_double(ns);
}

/* The current calibrated time: one TSC read serves conversion and choice. */
static inline YALTIME_SEC_T gettime_now()
{
    const YALTIME_TSC_T tsc = rdtsc();
    return gettime_float_at(tsc, tsc);
}

#endif /* YALTIME_CLOCK_READING_H */
