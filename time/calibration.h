/*
 * calibration.h - reading and writing a calibration context.
 *
 * Publication protocol.  A context has one writer (the discipline thread of
 * the process that disciplines it) and any number of readers in any thread of
 * any process that maps it; nobody takes a lock.
 *
 *   Writer: fills a record (slope, then intercept) at an index that no reader
 *   can select, then announces it: valid_idx, then idx, each with a release
 *   store.  It never rewrites the record at idx; it writes at most ten
 *   records ahead of idx, so a record stays untouched for at least 1014
 *   cycles after a reader last could have selected it.
 *
 *   Reader: loads idx once with acquire ordering, then reads that record.
 *   The acquire pairs with the writer's release store of idx, so the record's
 *   fields are those written before idx moved onto it.
 *
 * Every shared field is accessed through std::atomic_ref, so concurrent
 * access is never a data race in the C++ sense; on x86 these loads and
 * stores are plain moves.  A reader must not trust idx: an area written by
 * a restarting owner (idx -1 during its initial calibration) or by a foreign
 * process can hold anything, so every conversion checks it against the ring
 * before indexing, and treats an index outside it as no calibration.
 */
#ifndef YALTIME_CALIBRATION_H
#define YALTIME_CALIBRATION_H

#include <atomic>
#include <cmath>
#include <cstdint>

#include "public/yaltime.h"
#include "time/tsci2_loopfilter.h"

namespace calib {

template <typename T>
inline T load(const T &field, std::memory_order order = std::memory_order_relaxed)
{
    return std::atomic_ref<T>(const_cast<T &>(field)).load(order);
}

template <typename T>
inline void store(T &field, T value, std::memory_order order = std::memory_order_release)
{
    std::atomic_ref<T>(field).store(value, order);
}

inline bool index_in_ring(int32_t idx) { return idx >= 0 && idx < CALIB_TABLE_SIZE; }

inline int32_t next_index(int32_t idx, int32_t steps = 1) { return (idx + steps) % CALIB_TABLE_SIZE; }

/* The index in force, loaded with acquire ordering (see the protocol above). */
inline int32_t load_idx(const calibration_context_t *context)
{
    return load(context->idx, std::memory_order_acquire);
}

struct line {
    double slope;    /* microseconds per tick */
    int64 intercept; /* microseconds at tick 0 */
};

/* The record in force, or false when idx is outside the ring. */
inline bool record_in_force(const calibration_context_t *context, line *out)
{
    const int32_t idx = load_idx(context);
    if (!index_in_ring(idx))
        return false;
    const calibration_record_t &record = context->calib_table[idx];
    out->slope = load(record.slope);
    out->intercept = load(record.intercept);
    return true;
}

/* Writes one record: slope first, then intercept. */
inline void write_record(calibration_context_t *context, int32_t idx, double slope, int64 intercept)
{
    calibration_record_t &record = context->calib_table[idx];
    store(record.slope, slope);
    store(record.intercept, intercept);
}

/*
 * Announces the record at `idx`, already complete: valid_idx, then idx, each
 * a release store.  The one place where a record comes into force at once;
 * the initial calibration, the discipline and an owner's takeover all go
 * through it (or through publish_record).
 */
inline void publish_index(calibration_context_t *context, int32_t idx)
{
    store(context->valid_idx, idx);
    store(context->idx, idx);
}

/* Writes a record at `idx`, which no reader may select yet, and puts it in force. */
inline void publish_record(calibration_context_t *context, int32_t idx, double slope, int64 intercept)
{
    write_record(context, idx, slope, intercept);
    publish_index(context, idx);
}

/* Single-writer increment of a counter that others only read. */
inline void increment(int32_t &field)
{
    store(field, static_cast<int32_t>(static_cast<uint32_t>(load(field)) + 1u));
}

/* seconds = (ticks * slope + intercept) * 1e-6, ticks taken as unsigned. */
inline double line_tsc_to_secs(line l, uint64 ticks)
{
    const double usecs = static_cast<double>(ticks) * l.slope + static_cast<double>(l.intercept);
    return usecs * 1e-6;
}

/*
 * Nanoseconds since 1970 at `ticks`: ticks * (slope * 1000) + intercept *
 * 1000, carried in long double, whose 64-bit significand holds every tick
 * count below 2^64 and every intercept in nanoseconds exactly; each of the
 * three roundings is then within 2^-64 of its value, a fraction of a
 * nanosecond at any time before 2262.  The scaling to nanoseconds is done
 * on the record's two values, which are loaded while the TSC is being
 * read, so the tick's own chain is one multiply and one add.
 */
inline long double line_tsc_to_ns(line l, uint64 ticks)
{
    const long double ns_per_tick = static_cast<long double>(l.slope) * 1000.0L;
    const long double intercept_ns = static_cast<long double>(l.intercept) * 1000.0L;
    return static_cast<long double>(ticks) * ns_per_tick + intercept_ns;
}

/* `value` rounded to the nearest whole number (the x87 unit's rounding
 * mode, which nothing here changes), in one store: llrintl is a call into
 * libm.  `value` must lie within the int64_t range. */
inline int64_t round_long_double(long double value)
{
    int64_t rounded;
    __asm__("fistpll %0" : "=m"(rounded) : "t"(value) : "st");
    return rounded;
}

/* Ticks at which the line reads `time`: |(time * 1e6 - intercept) / slope|. */
inline uint64 line_secs_to_tsc(line l, double time)
{
    const double tsc = (time * 1000000.0 - static_cast<double>(l.intercept)) / l.slope;
    return yaltime_double_to_u64(std::fabs(tsc));
}

} // namespace calib

/* Seconds since 1970 at `ticks`; 0.0 when the context has no record in force. */
inline double calib_tsc_to_secs(CALIBRATION_CONTEXT_H context, uint64 ticks)
{
    calib::line l;
    if (!calib::record_in_force(context, &l))
        return 0.0;
    return calib::line_tsc_to_secs(l, ticks);
}

/*
 * Tick count at which the record in force reads `time`.  A time before tick 0
 * gives the distance in ticks (absolute value).  Defined for every input:
 * NaN gives 0, a slope of 0 saturates, and no record in force gives 0.
 */
inline uint64 calib_secs_to_tsc(CALIBRATION_CONTEXT_H context, double time)
{
    calib::line l;
    if (!calib::record_in_force(context, &l))
        return 0;
    return calib::line_secs_to_tsc(l, time);
}

/* Seconds per tick of the record in force; 0.0 when none is. */
inline double calib_period(CALIBRATION_CONTEXT_H context)
{
    calib::line l;
    if (!calib::record_in_force(context, &l))
        return 0.0;
    return 1e-6 * l.slope;
}

inline int calib_step_count(CALIBRATION_CONTEXT_H context)
{
    return context ? calib::load(context->stepcount) : 0;
}

inline int calib_update_count(CALIBRATION_CONTEXT_H context)
{
    return context ? calib::load(context->updates) : 0;
}

#endif /* YALTIME_CALIBRATION_H */
