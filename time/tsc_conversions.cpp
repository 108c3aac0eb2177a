/*
 * tsc_conversions.cpp - spans in TSC ticks: deadlines, ticks to seconds and
 * back, period and frequency, and the state of the calibration.
 *
 * Spans use only the period (the slope of the calibration in force, or the
 * start-up period when that slope is not positive), never the intercept.
 * Seconds convert to ticks by truncation; a negative or NaN span gives 0
 * ticks and a span beyond 2^64 ticks gives the largest tick count.
 */
#include "time/active_calibration.h"
#include "time/yaltime_entry.h"

/*
 * The TSC value `countdown` seconds from now (modulo 2^64).  A negative or
 * NaN countdown gives the TSC value read now.
 */
extern "C" YALTIME_TSC_T func_YALTIME_START(YALTIME_SEC_T countdown)
{
    const YALTIME_TSC_T tsc = rdtsc();
    const double period = get_tsc_period_at(tsc);
    const YALTIME_TSC_T ticks = yaltime_double_to_u64(countdown / period);
    /* A deadline beyond the counter's range is never reached, rather than passed. */
    return ticks > UINT64_MAX - tsc ? UINT64_MAX : tsc + ticks;
}

extern "C" YALTIME_SEC_T func_YALTIME_TSC_TO_SECS(YALTIME_TSC_T tsc)
{
    return static_cast<double>(tsc) * get_tsc_period();
}

/* Ticks in `_time` seconds: 0 for negative or NaN, saturated beyond 2^64. */
extern "C" YALTIME_TSC_T func_YALTIME_SECS_TO_TSC(YALTIME_SEC_T _time)
{
    return yaltime_double_to_u64(_time / get_tsc_period());
}

extern "C" double func_YALTIME_GET_TSC_PERIOD(void) { return get_tsc_period(); }

extern "C" double func_YALTIME_GET_TSC_FREQUENCY(void) { return 1.0 / get_tsc_period(); }

extern "C" YALTIME_SEC_T func_YALTIME_CLOCK_RESOLUTION(void)
{
    return clock_resolution.load(std::memory_order_relaxed);
}

extern "C" int func_YALTIME_GET_STEP_COUNT(void) { return calib_step_count(get_active_calibration()); }

extern "C" int func_YALTIME_GET_UPDATE_COUNT(void) { return calib_update_count(get_active_calibration()); }

/* The code left by the latest choice of any thread; makes no choice itself. */
extern "C" int func_YALTIME_GET_CALIBRATION(void) { return Calibration_using.load(std::memory_order_relaxed); }
