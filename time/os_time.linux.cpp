/*
 * os_time.linux.cpp - the OS real-time clock on Linux.
 *
 * CLOCK_REALTIME through clock_gettime and clock_getres, as seconds in a
 * double.  This is the fallback clock of every reading and the reference of
 * the clock-error figure; the discipline itself reads gettimeofday.
 */
#include "time/os_time.h"

#include <time.h>

/* Seconds from a timespec: nanoseconds scaled first, whole seconds added. */
static double timespec_to_secs(const struct timespec &ts)
{
    return static_cast<double>(ts.tv_nsec) * 1e-9 + static_cast<double>(ts.tv_sec);
}

extern "C" YALTIME_SEC_T os_gettime(void)
{
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return 0.0;
    return timespec_to_secs(now);
}

extern "C" int64_t os_gettime_ns(void)
{
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return 0;
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

extern "C" YALTIME_SEC_T get_clock_resolution(void)
{
    struct timespec res;
    if (clock_getres(CLOCK_REALTIME, &res) < 0)
        return 0.0;
    if (res.tv_sec != 0)
        return 0.0;
    return static_cast<double>(res.tv_nsec) * 1e-9;
}
