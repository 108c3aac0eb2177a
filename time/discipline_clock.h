/*
 * discipline_clock.h - where the TSC discipline reads its clocks.
 *
 * Internal to the component; never installed, never exported.  The
 * discipline (initial calibration, offset polls, the loop filter's start
 * epoch, the discipline's per-cycle readings) reads the TSC, the OS real-time
 * clock and the OS monotonic clock only through discipline_clock::active,
 * which holds rdtsc(), gettimeofday(tv, NULL), clock_gettime(CLOCK_MONOTONIC),
 * clock_gettime(CLOCK_REALTIME) and clock_gettime(CLOCK_MONOTONIC_RAW) unless
 * a test puts a simulated clock in their place.  The monotonic clock runs at
 * the real-time clock's rate (a time daemon's slew changes both) but is never
 * stepped.  The raw monotonic clock runs at the hardware's rate: no daemon
 * steers it, so it tells the TSC's jumps from the OS clock's slews.
 * Sleeping is not part of this seam: it goes through the host's
 * vek_base_sleep slot, which a test sets to its own sleep.
 *
 * Only tests write `active`, and only while no discipline code runs.
 */
#ifndef YALTIME_DISCIPLINE_CLOCK_H
#define YALTIME_DISCIPLINE_CLOCK_H

#include <sys/time.h>
#include <time.h>

#include "public/portable.h"

namespace discipline_clock {

/* The full 64-bit time-stamp counter. */
using read_tsc_fn = uint64 (*)(void);

/* The OS clock as gettimeofday(tv, NULL) gives it; the result is not examined. */
using read_os_fn = int (*)(struct timeval *tv);

/* The monotonic clock as clock_gettime(CLOCK_MONOTONIC, ts) gives it; the
 * real-time clock in nanoseconds as clock_gettime(CLOCK_REALTIME, ts) does;
 * the raw monotonic clock as clock_gettime(CLOCK_MONOTONIC_RAW, ts) does
 * (nonzero where the kernel has none). */
using read_timespec_fn = int (*)(struct timespec *ts);

struct clock_source {
    read_tsc_fn read_tsc;
    read_os_fn read_os;
    read_timespec_fn read_mono;
    read_timespec_fn read_realtime;
    read_timespec_fn read_raw;
};

/* rdtsc(), gettimeofday(tv, NULL), and clock_gettime() of CLOCK_MONOTONIC,
 * CLOCK_REALTIME and CLOCK_MONOTONIC_RAW. */
__attribute__((visibility("hidden"))) clock_source real_clocks();

/* The clocks the discipline reads; real_clocks() at load. */
__attribute__((visibility("hidden"))) extern clock_source active;

} // namespace discipline_clock

#endif /* YALTIME_DISCIPLINE_CLOCK_H */
