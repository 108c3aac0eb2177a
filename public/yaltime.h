/*
 * yaltime.h - time types of the YALTIME clock and the conversions a client
 * can do without calling the component: seconds to frame numbers and back,
 * seconds to NTP-format timestamps.
 *
 * Every conversion of a double to an unsigned 64-bit count here is defined
 * for every input: in range it truncates toward zero; negative values and
 * NaN give 0; values at or above 2^64 give the largest count.
 */
#ifndef YALTIME_H
#define YALTIME_H

#include <stdint.h>

#include "portable.h"
#include "tsc.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef double YALTIME_SEC_T;     /* seconds since 1970-01-01 00:00:00 UTC, or a span */
typedef uint64_t YALTIME_MSEC_T;  /* whole milliseconds since 1970 */
typedef uint64_t YALTIME_USEC_T;  /* whole microseconds since 1970 */
typedef uint64_t YALTIME_NTP_T;   /* 32.32 fixed-point seconds since 1970 */
typedef uint64_t YALTIME_FRAME_T; /* frame number since 1970 at a given rate */

/* Seconds from 1900-01-01 to 1970-01-01; YALTIME's own timestamps count from 1970. */
#define NTP_BASETIME 2208988800UL
/* Fraction units of an NTP timestamp per second (2^32). */
#define NTP_FRACTION_SEC 4294967296.0

/* 2^64 as a double: the first value that no longer fits an unsigned 64-bit count. */
#define YALTIME_TWO_POW_64 18446744073709551616.0

/*
 * Truncates toward zero into an unsigned 64-bit count.  NaN and anything not
 * above 0 give 0; 2^64 and above (and +infinity) give UINT64_MAX.
 */
static inline uint64_t yaltime_double_to_u64(double value)
{
    if (!(value > 0.0))
        return 0;
    if (value >= YALTIME_TWO_POW_64)
        return UINT64_MAX;
    return (uint64_t)value;
}

/*
 * The frame running at _time: framerate x _time, truncated.  0 for a rate of
 * 0 or a time not after 1970.  (0.29 s at 100 frames per second is frame 28:
 * the product is just below 29.)
 */
static inline YALTIME_FRAME_T yaltime_secs_to_frame(YALTIME_SEC_T _time, unsigned int framerate)
{
    if (framerate == 0)
        return 0;
    if (!(_time > 0.0))
        return 0;
    return yaltime_double_to_u64((double)framerate * _time);
}

/* Start of frame `frame` in seconds; 0.0 for a rate of 0 or frame 0. */
static inline YALTIME_SEC_T yaltime_frame_to_secs(YALTIME_FRAME_T frame, unsigned int framerate)
{
    if (framerate == 0)
        return 0.0;
    if (frame == 0)
        return 0.0;
    return (double)frame / (double)framerate;
}

/*
 * Seconds since 1970 as a 32.32 timestamp counted from 1970, truncated to
 * 2^-32 s.  0 for times not after 1970 and for NaN.  Times of 2^32 s and more
 * (from 2106 on) saturate at the largest timestamp rather than wrap into an
 * era that a reader could not tell apart from 1970.
 */
static inline YALTIME_NTP_T yaltime_secs_to_ntp(YALTIME_SEC_T _time)
{
    if (!(_time > 0.0))
        return 0;
    return yaltime_double_to_u64(_time * NTP_FRACTION_SEC);
}

#ifdef __cplusplus
}
#endif

#endif /* YALTIME_H */
