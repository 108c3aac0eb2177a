/*
 * clock_readings.c - a process that reports its OS clocks, for the tests of
 * the clock-shift preload library.
 *
 *   clock_readings SECONDS EVERY_MS
 *
 * Every EVERY_MS milliseconds, for SECONDS seconds, one line
 *   clocks raw=R mono=M real=T raw2=S   (nanoseconds; CLOCK_MONOTONIC_RAW,
 *                                        which the library leaves alone, read
 *                                        before and after the other two)
 * then the monotonic clock read without pause for a fifth of the interval;
 * at the end
 *   end mono_reads=N mono_back=B        (B: readings earlier than the one before)
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static int64_t read_ns(clockid_t id)
{
    struct timespec ts;
    clock_gettime(id, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: clock_readings SECONDS EVERY_MS\n");
        return 2;
    }
    const int64_t span_ns = (int64_t)(atof(argv[1]) * 1e9);
    const int64_t every_ns = (int64_t)(atof(argv[2]) * 1e6);
    const int64_t begin = read_ns(CLOCK_MONOTONIC_RAW);
    long reads = 0, back = 0;
    int64_t last_mono = read_ns(CLOCK_MONOTONIC);
    for (int64_t next = begin; next < begin + span_ns; next += every_ns) {
        const int64_t raw = read_ns(CLOCK_MONOTONIC_RAW);
        const int64_t mono = read_ns(CLOCK_MONOTONIC);
        const int64_t real = read_ns(CLOCK_REALTIME);
        const int64_t raw2 = read_ns(CLOCK_MONOTONIC_RAW);
        printf("clocks raw=%lld mono=%lld real=%lld raw2=%lld\n", (long long)raw, (long long)mono, (long long)real,
               (long long)raw2);
        while (read_ns(CLOCK_MONOTONIC_RAW) < next + every_ns / 5) {
            const int64_t m = read_ns(CLOCK_MONOTONIC);
            back += m < last_mono;
            last_mono = m;
            ++reads;
        }
        const int64_t rest_ns = next + every_ns - read_ns(CLOCK_MONOTONIC_RAW);
        if (rest_ns > 0) {
            const struct timespec rest = {(time_t)(rest_ns / 1000000000), (long)(rest_ns % 1000000000)};
            nanosleep(&rest, NULL);
        }
    }
    printf("end mono_reads=%ld mono_back=%ld\n", reads, back);
    fflush(stdout);
    return 0;
}
