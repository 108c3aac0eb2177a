/*
 * clock_reading.cpp - the current time in seconds, milliseconds and
 * microseconds, the time of a TSC value, and the clock error against the OS.
 *
 * The normal path is one TSC read, the choice of the calibration in force and
 * one multiply-add: no system call, no lock, no allocation, no shared store.
 * A reading whose calibrated time is not positive (no record in force yet, a
 * record that puts it before 1970) returns the OS time instead, is counted,
 * and is logged at most once per second of TSC ticks, never the first time.
 */
#include "time/clock_reading.h"

#include "interface/vek_base.interface.h"
#include "time/os_time.h"
#include "time/yaltime_entry.h"

std::atomic<uint32_t> time_fail_count{0};
std::atomic<YALTIME_TSC_T> errmsg_timeout{0};

YALTIME_SEC_T gettime_failure(YALTIME_SEC_T now)
{
    const YALTIME_TSC_T tsc_now = rdtsc();
    if (tsc_now > errmsg_timeout.load(std::memory_order_relaxed)) {
        errmsg_timeout.store(tsc_now + TSC_rate.load(std::memory_order_relaxed), std::memory_order_relaxed);
        const uint32_t earlier_failures = time_fail_count.load(std::memory_order_relaxed);
        if (earlier_failures != 0)
            vek_base_syslog_error("%s: TSC time calibration fail count %d  result=%f", YALTIME_CMP_NAME,
                                  static_cast<int>(earlier_failures), now);
    }
    time_fail_count.fetch_add(1, std::memory_order_relaxed);
    return os_gettime();
}

extern "C" YALTIME_SEC_T func_YALTIME_NOW(void) { return gettime_now(); }

/* Converted with the calibration in force now, not the one of when `tsc` was read. */
extern "C" YALTIME_SEC_T func_YALTIME_TSC_TO_NOW(YALTIME_TSC_T tsc) { return gettime_float(tsc); }

/* Whole milliseconds, truncated; 0 if neither clock gives a positive time. */
extern "C" YALTIME_MSEC_T func_YALTIME_GETTIME(void) { return yaltime_double_to_u64(gettime_now() * 1000.0); }

/* Whole microseconds, truncated; 0 if neither clock gives a positive time. */
extern "C" YALTIME_USEC_T func_YALTIME_GET_CURRENT_USEC(void)
{
    return yaltime_double_to_u64(gettime_now() * 1000000.0);
}

/*
 * OS clock minus calibrated clock, the calibrated side taken at the middle of
 * the TSC bracket around the OS reading.  Positive: the calibrated clock is
 * behind.
 */
extern "C" YALTIME_SEC_T func_YALTIME_GET_CLOCK_ERROR(void)
{
    const YALTIME_TSC_T t1 = rdtsc();
    const double os_time = os_gettime();
    const YALTIME_TSC_T t2 = rdtsc();
    const YALTIME_TSC_T t = t1 + (t2 - t1) / 2;
    return os_time - gettime_float_at(t, t2);
}
