/*
 * yaltime_ns.h - YALTIME's clock in whole nanoseconds since 1970 UTC, the
 * calibration's full precision.
 *
 * A double of seconds since 1970, what YALTIME_NOW returns, steps by 2^-22 s
 * (about 0.24 us) in this century; the calibration in force is finer than
 * that.  These two functions give its nanoseconds, exported by the
 * component's library beside its registration, with C linkage:
 *
 *   yaltime_now_ns()       the time now, as YALTIME_NOW gives it: the same
 *                          choice of calibration, the same fallback to the
 *                          OS real-time clock (counted as a failed reading)
 *                          when the calibration gives no positive time;
 *   yaltime_tsc_to_ns(tsc) the time of a TSC value read earlier (a bare
 *                          rdtsc() from tsc.h, say), converted with the
 *                          calibration in force now, as YALTIME_TSC_TO_NOW.
 *
 * Each is one TSC read (none for yaltime_tsc_to_ns), the choice of the
 * calibration and the line's arithmetic carried to well under a
 * nanosecond for TSC values up to 2^62 (decades of uptime): no lock, no
 * system call, no allocation on the normal path, and async-signal-safe.
 * A time beyond the int64_t range saturates at INT64_MAX.
 *
 * A program linked against the library calls them directly; one that loads
 * the component at run time finds them with dlsym on the library's handle
 * (the types below), or through yaltime_clock.hpp.
 */
#ifndef YALTIME_NS_H
#define YALTIME_NS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int64_t yaltime_now_ns(void);
int64_t yaltime_tsc_to_ns(uint64_t tsc);

typedef int64_t (*YALTIME_NOW_NS_T)(void);
typedef int64_t (*YALTIME_TSC_TO_NS_T)(uint64_t tsc);

#ifdef __cplusplus
}
#endif

#endif /* YALTIME_NS_H */
