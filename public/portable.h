/*
 * portable.h - fixed-width integer names used across the component.
 *
 * The TSC discipline counts microseconds and ticks in 64 bits on every
 * target; these two names keep that visible at each declaration.
 */
#ifndef PORTABLE_H
#define PORTABLE_H

#include <stdint.h>

typedef uint64_t uint64;
typedef int64_t int64;

#endif /* PORTABLE_H */
