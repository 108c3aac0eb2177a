/*
 * tsc.h - the processor's time-stamp counter.
 *
 * rdtsc() is the one way the component and its clients read the TSC: the
 * plain instruction, no serialising fence, inlined so that a clock reading
 * costs no call.
 */
#ifndef TSC_H
#define TSC_H

#include <stdint.h>

typedef uint64_t YALTIME_TSC_T;

static inline YALTIME_TSC_T rdtsc(void)
{
    uint32_t lo, hi;
    __asm__ __volatile__("rdtsc" : "=a"(lo), "=d"(hi));
    return ((YALTIME_TSC_T)hi << 32) | lo;
}

#endif /* TSC_H */
