/*
 * active_calibration.cpp - the process-wide calibration state and the slow
 * paths of the choice: mapping the shared area, and following its name to
 * another object once it is stale.
 */
#include "time/active_calibration.h"

#include "interface/vek_base.interface.h"

calibration_context_t Thread_calibration;
std::atomic<calibration_context_t *> Master_calibration{nullptr};
std::atomic<bool> Calibration_local_only{false};
std::atomic<int> Calibration_using{CALIBRATION_UNCHOSEN};
std::atomic<int> Master_last_activity{0};
std::atomic<YALTIME_TSC_T> Master_last_activity_tsc{0};
std::atomic<YALTIME_TSC_T> Master_name_checked_tsc{0};
std::atomic<double> clock_resolution{0.0};
std::atomic<double> TSC_period{0.0};
std::atomic<YALTIME_TSC_T> TSC_rate{0};
std::atomic<YALTIME_TSC_T> Remap_after_ticks{0};
std::atomic<YALTIME_TSC_T> Stale_after_ticks{0};

/* Held by the one thread that is mapping the area or looking for another. */
static std::atomic<bool> Mapping_in_progress{false};

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

static calibration_context_t *try_map(YALTIME_TSC_T now_tsc)
{
    long size = 0;
    char name[] = YALTIME_SHARED_AREA_NAME;
    void *area = vek_base_mmap_r(name, &size);
    if (area == nullptr) {
        Master_last_activity_tsc.store(now_tsc, std::memory_order_relaxed);
        return nullptr;
    }
    Master_last_activity_tsc.store(0, std::memory_order_relaxed);
    if (size != CALIBRATION_CONTEXT_SIZE) {
        vek_base_fail("get_active_calibration: invalid size (%ld) of yal_time_master", size);
        /* A host whose fail returns: never use the area; try again later. */
        Master_last_activity_tsc.store(now_tsc, std::memory_order_relaxed);
        return nullptr;
    }
    auto *context = static_cast<calibration_context_t *>(area);
    Master_calibration.store(context, std::memory_order_release);
    return context;
}

/* `last` (0: never) lies less than two whole seconds before now_tsc. */
static bool within_remap_span(YALTIME_TSC_T last, YALTIME_TSC_T now_tsc)
{
    return last != 0 && (last >= now_tsc || now_tsc - last < Remap_after_ticks.load(std::memory_order_relaxed));
}

/* Another thread's attempt (failed) since this thread decided to try. */
static bool attempted_recently(YALTIME_TSC_T now_tsc)
{
    return within_remap_span(Master_last_activity_tsc.load(std::memory_order_relaxed), now_tsc);
}

/*
 * Only one thread maps; a thread that finds another one mapping uses its own
 * context for this call, as it would while the area is absent.
 */
calibration_context_t *map_shared_area(YALTIME_TSC_T now_tsc)
{
    if (Mapping_in_progress.exchange(true, std::memory_order_acquire))
        return nullptr;
    calibration_context_t *context = Master_calibration.load(std::memory_order_acquire);
    if (context == nullptr && !attempted_recently(now_tsc))
        context = try_map(now_tsc);
    Mapping_in_progress.store(false, std::memory_order_release);
    return context;
}

/* The object now under the name when it is a trusted one of the right size
 * other than `current`; null otherwise, the reference just taken given back. */
static calibration_context_t *another_area_under_name(calibration_context_t *current)
{
    long size = 0;
    char name[] = YALTIME_SHARED_AREA_NAME;
    void *found = vek_base_mmap_r(name, &size);
    if (found == nullptr)
        return nullptr;
    if (found != current && size == CALIBRATION_CONTEXT_SIZE)
        return static_cast<calibration_context_t *>(found);
    if (vek_base_mmap_unmap != nullptr)
        vek_base_mmap_unmap(name, size, found);
    return nullptr;
}

/*
 * A new object is taken up as a freshly mapped area (heartbeat time 0): it
 * is used from the first call that sees its heartbeat differ from the last
 * one seen.  The old mapping stays: other threads may be reading it.
 */
calibration_context_t *follow_name_or_own(YALTIME_TSC_T now_tsc)
{
    if (within_remap_span(Master_name_checked_tsc.load(std::memory_order_relaxed), now_tsc) ||
        Mapping_in_progress.exchange(true, std::memory_order_acquire))
        return use_own_calibration();
    if (!within_remap_span(Master_name_checked_tsc.load(std::memory_order_relaxed), now_tsc)) {
        Master_name_checked_tsc.store(now_tsc, std::memory_order_relaxed);
        calibration_context_t *found = another_area_under_name(Master_calibration.load(std::memory_order_acquire));
        if (found != nullptr) {
            Master_last_activity_tsc.store(0, std::memory_order_relaxed);
            Master_calibration.store(found, std::memory_order_release);
        }
    }
    Mapping_in_progress.store(false, std::memory_order_release);
    return use_own_calibration();
}
