/*
 * clock_shift_preload.c - an LD_PRELOAD library for tests: the OS real-time
 * clock of a process, shifted.
 *
 * gettimeofday and clock_gettime(CLOCK_REALTIME) return the real clock plus
 * a shift in nanoseconds read, at every call, from the first 8 bytes of the
 * file named by YALTIME_TEST_CLOCK_SHIFT_FILE (a signed 64-bit integer in
 * the machine's byte order).  Another process maps the same file and changes
 * the shift: to this process, its OS clock has been set.  The machine's
 * clock is never touched.  Without the variable, or with a file that cannot
 * be mapped, the shift is 0.
 *
 * On i386 with 64-bit time_t the library's calls are named __gettimeofday64
 * and __clock_gettime64; the header's redirections give the definitions
 * below those names too, so the same source interposes on both targets.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#if defined(__i386__) && defined(_TIME_BITS) && _TIME_BITS == 64
#define GETTIMEOFDAY_NAME "__gettimeofday64"
#define CLOCK_GETTIME_NAME "__clock_gettime64"
#else
#define GETTIMEOFDAY_NAME "gettimeofday"
#define CLOCK_GETTIME_NAME "clock_gettime"
#endif

typedef int (*clock_gettime_fn)(clockid_t, struct timespec *);

static int64_t *shift_cell; /* set once by the constructor, before main */
static clock_gettime_fn real_clock_gettime_ptr;

static clock_gettime_fn real_clock_gettime(void)
{
    clock_gettime_fn f = __atomic_load_n(&real_clock_gettime_ptr, __ATOMIC_ACQUIRE);
    if (f == NULL) {
        f = (clock_gettime_fn)dlsym(RTLD_NEXT, CLOCK_GETTIME_NAME);
        __atomic_store_n(&real_clock_gettime_ptr, f, __ATOMIC_RELEASE);
    }
    return f;
}

__attribute__((constructor)) static void map_shift_cell(void)
{
    (void)real_clock_gettime();
    const char *path = getenv("YALTIME_TEST_CLOCK_SHIFT_FILE");
    if (path == NULL)
        return;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    void *p = mmap(NULL, sizeof(int64_t), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (p != MAP_FAILED)
        __atomic_store_n(&shift_cell, (int64_t *)p, __ATOMIC_RELEASE);
}

static int64_t shift_ns(void)
{
    const int64_t *cell = __atomic_load_n(&shift_cell, __ATOMIC_ACQUIRE);
    return cell ? __atomic_load_n(cell, __ATOMIC_RELAXED) : 0;
}

/* The real CLOCK_REALTIME plus the shift, as whole seconds and nanoseconds. */
static int shifted_now(struct timespec *ts)
{
    clock_gettime_fn real = real_clock_gettime();
    if (real == NULL || real(CLOCK_REALTIME, ts) != 0)
        return -1;
    const int64_t ns = (int64_t)ts->tv_sec * 1000000000 + ts->tv_nsec + shift_ns();
    int64_t sec = ns / 1000000000;
    int64_t rem = ns % 1000000000;
    if (rem < 0) {
        rem += 1000000000;
        sec -= 1;
    }
    ts->tv_sec = (time_t)sec;
    ts->tv_nsec = (long)rem;
    return 0;
}

/* The interposed entries: exported whatever visibility the build defaults to. */
__attribute__((visibility("default"))) int clock_gettime(clockid_t id, struct timespec *ts)
{
    if (id != CLOCK_REALTIME) {
        clock_gettime_fn real = real_clock_gettime();
        return real ? real(id, ts) : -1;
    }
    return shifted_now(ts);
}

__attribute__((visibility("default"))) int gettimeofday(struct timeval *restrict tv, void *restrict tz)
{
    (void)tz;
    struct timespec ts;
    if (shifted_now(&ts) != 0)
        return -1;
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = (suseconds_t)(ts.tv_nsec / 1000);
    return 0;
}
