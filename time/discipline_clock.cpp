/*
 * discipline_clock.cpp - the real clocks behind the discipline's clock seam
 * (discipline_clock.h): rdtsc(), gettimeofday(), and clock_gettime() of the
 * monotonic, real-time and raw monotonic clocks.  `active` holds them from
 * load until a test puts a simulated clock in their place.
 */
#include "time/discipline_clock.h"

#include <sys/time.h>
#include <time.h>

#include "public/tsc.h"

namespace discipline_clock {
namespace {

uint64 read_rdtsc(void) { return rdtsc(); }

int read_gettimeofday(struct timeval *tv) { return gettimeofday(tv, nullptr); }

int read_monotonic(struct timespec *ts) { return clock_gettime(CLOCK_MONOTONIC, ts); }

int read_realtime(struct timespec *ts) { return clock_gettime(CLOCK_REALTIME, ts); }

int read_raw(struct timespec *ts) { return clock_gettime(CLOCK_MONOTONIC_RAW, ts); }

} // namespace

clock_source real_clocks() { return clock_source{read_rdtsc, read_gettimeofday, read_monotonic, read_realtime, read_raw}; }

clock_source active = {read_rdtsc, read_gettimeofday, read_monotonic, read_realtime, read_raw};

} // namespace discipline_clock
