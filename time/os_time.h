/*
 * os_time.h - the operating system's real-time clock, in seconds.
 *
 * The only platform-specific unit of the component (os_time.linux.cpp).
 * Both functions return 0.0 when the OS cannot answer.
 */
#ifndef OS_TIME_H
#define OS_TIME_H

#include "../public/osdef.h"
#include "../public/yaltime.h"

OSDEF_BEGIN_C

/* CLOCK_REALTIME now, seconds since 1970; 0.0 on failure. */
OSDEF_EXPORT YALTIME_SEC_T os_gettime(void);

/* CLOCK_REALTIME now, nanoseconds since 1970; 0 on failure.  Not exported. */
int64_t os_gettime_ns(void);

/* Resolution of CLOCK_REALTIME in seconds; 0.0 if unknown or 1 s or coarser. */
OSDEF_EXPORT YALTIME_SEC_T get_clock_resolution(void);

OSDEF_END_C

#endif /* OS_TIME_H */
