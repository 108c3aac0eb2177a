/*
 * discipline_arithmetic.h - the integer arithmetic the loop filter and the
 * discipline share: defined conversions of doubles, wrapping 64-bit sums,
 * ring positions and clock readings in whole units.
 *
 * Conversions of a double to an integer are defined for every input: in
 * range they truncate toward zero; NaN gives 0 and values beyond the signed
 * 64-bit range clamp to its ends.  Signed 64-bit additions, subtractions and
 * products wrap modulo 2^64 instead of overflowing (in range they are the
 * ordinary results).
 */
#ifndef YALTIME_DISCIPLINE_ARITHMETIC_H
#define YALTIME_DISCIPLINE_ARITHMETIC_H

#include <sys/time.h>
#include <time.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "public/portable.h"
#include "time/tsci2_loopfilter.h"

namespace tsci2 {

constexpr int64 wrap_add(int64 a, int64 b)
{
    return static_cast<int64>(static_cast<uint64>(a) + static_cast<uint64>(b));
}

constexpr int64 wrap_sub(int64 a, int64 b)
{
    return static_cast<int64>(static_cast<uint64>(a) - static_cast<uint64>(b));
}

constexpr int64 wrap_mul(int64 a, int64 b)
{
    return static_cast<int64>(static_cast<uint64>(a) * static_cast<uint64>(b));
}

/* Truncation toward zero; NaN -> 0; clamped to [INT64_MIN, INT64_MAX]. */
inline int64 double_to_int64(double value)
{
    constexpr double TWO_POW_63 = 9223372036854775808.0;
    if (std::isnan(value))
        return 0;
    if (value >= TWO_POW_63)
        return std::numeric_limits<int64>::max();
    if (value < -TWO_POW_63)
        return std::numeric_limits<int64>::min();
    return static_cast<int64>(value); /* truncates toward zero */
}

/* double_to_int64, then the same bits as an unsigned count (-1 -> 2^64 - 1). */
inline uint64 double_to_uint64_via_int64(double value) { return static_cast<uint64>(double_to_int64(value)); }

/* Position in the ring of `idx`: idx mod CALIB_TABLE_SIZE, in 0..1023. */
inline int32_t ring_index(int32_t idx)
{
    const int32_t r = idx % CALIB_TABLE_SIZE;
    return r < 0 ? r + CALIB_TABLE_SIZE : r;
}

/* tv_sec * 1000000 + tv_usec in signed 64-bit arithmetic. */
inline int64 timeval_usecs(const struct timeval &tv)
{
    return wrap_add(wrap_mul(static_cast<int64>(tv.tv_sec), 1000000), static_cast<int64>(tv.tv_usec));
}

/* tv_sec * 1e9 + tv_nsec in signed 64-bit arithmetic. */
inline int64 timespec_nsecs(const struct timespec &ts)
{
    return wrap_add(wrap_mul(static_cast<int64>(ts.tv_sec), 1000000000), static_cast<int64>(ts.tv_nsec));
}

} // namespace tsci2

#endif /* YALTIME_DISCIPLINE_ARITHMETIC_H */
