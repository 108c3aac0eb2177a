// Puts the component's process-wide state where an in-process test wants
// it, without starting the component (no discipline thread, no real sleep).
#pragma once

#include <cstring>

#include "time/active_calibration.h"
#include "time/area_watch.h"
#include "time/clock_reading.h"
#include "time/os_time.h"

namespace component_state {

// Nobody has chosen a calibration yet; no area mapped; no failures counted.
inline void reset(YALTIME_TSC_T tsc_rate = 3000000000ull)
{
    std::memset(&Thread_calibration, 0, sizeof Thread_calibration);
    Master_calibration.store(nullptr);
    Calibration_local_only.store(false);
    Calibration_using.store(CALIBRATION_UNCHOSEN);
    Master_last_activity.store(0);
    Master_last_activity_tsc.store(0);
    area_watch_reset();
    TSC_period.store(tsc_rate ? 1.0 / static_cast<double>(tsc_rate) : 0.0);
    set_tsc_rate(tsc_rate);
    time_fail_count.store(0);
    errmsg_timeout.store(0);
    fail_message.seq.store(0);
    fail_message.said_seq.store(0);
}

// A single record at index `idx`.
inline void set_record(calibration_context_t *context, double slope, int64 intercept, int32_t idx = 0)
{
    context->calib_table[idx] = {slope, intercept};
    context->valid_idx = idx;
    context->idx = idx;
}

// A record that follows the OS clock at an assumed TSC period, anchored now.
inline void set_tracking_record(calibration_context_t *context, double tsc_period_s)
{
    const double slope_us = tsc_period_s * 1e6;
    const YALTIME_TSC_T tsc = rdtsc();
    const double os_us = os_gettime() * 1e6;
    set_record(context, slope_us, static_cast<int64>(os_us - static_cast<double>(tsc) * slope_us));
}

// Measures the TSC period against the OS clock over `seconds`.
inline double measured_tsc_period(double seconds = 0.05)
{
    const YALTIME_TSC_T t0 = rdtsc();
    const double s0 = os_gettime();
    double s1;
    do {
        s1 = os_gettime();
    } while (s1 - s0 < seconds);
    const YALTIME_TSC_T t1 = rdtsc();
    return (s1 - s0) / static_cast<double>(t1 - t0);
}

} // namespace component_state
