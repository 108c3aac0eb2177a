/*
 * active_calibration.cpp - the process-wide calibration state and the two
 * out-of-line branches of the choice, neither of which maps anything: the
 * discipline thread does (area_watch.cpp).
 */
#include "time/active_calibration.h"

calibration_context_t Thread_calibration;
std::atomic<calibration_context_t *> Master_calibration{nullptr};
std::atomic<bool> Calibration_local_only{false};
std::atomic<int> Calibration_using{CALIBRATION_UNCHOSEN};
std::atomic<int> Master_last_activity{0};
std::atomic<YALTIME_TSC_T> Master_last_activity_tsc{0};
std::atomic<double> clock_resolution{0.0};
std::atomic<double> TSC_period{0.0};
std::atomic<YALTIME_TSC_T> TSC_rate{0};
std::atomic<YALTIME_TSC_T> Remap_after_ticks{0};
std::atomic<YALTIME_TSC_T> Stale_after_ticks{0};

static YALTIME_TSC_T saturating_multiply(YALTIME_TSC_T value, YALTIME_TSC_T factor)
{
    YALTIME_TSC_T product;
    if (__builtin_mul_overflow(value, factor, &product))
        return UINT64_MAX;
    return product;
}

/*
 * Whole elapsed seconds (ticks / rate, truncated) are at most 1 exactly when
 * ticks < 2 * rate, and at most 9 exactly when ticks < 10 * rate.
 */
void set_tsc_rate(YALTIME_TSC_T rate)
{
    TSC_rate.store(rate, std::memory_order_relaxed);
    Remap_after_ticks.store(saturating_multiply(rate, 2), std::memory_order_relaxed);
    Stale_after_ticks.store(saturating_multiply(rate, 10), std::memory_order_relaxed);
}

calibration_context_t *published_shared_area(YALTIME_TSC_T)
{
    return Master_calibration.load(std::memory_order_acquire);
}

calibration_context_t *leave_stale_area(YALTIME_TSC_T) { return use_own_calibration(); }
