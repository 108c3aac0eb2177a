/*
 * clock_client.cpp - a C++17 program built against an installed YALTIME
 * that reads the time through yaltime::clock: it starts the component with
 * a calibration of its own, binds the clock and compares it with
 * YALTIME_NOW and with the system clock.
 *
 *   clock_client PATH/lib-vek-yaltime.so
 *
 * Exit status 0 when the clock is bound and agrees with both.
 */
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <ctime>

#include "host/vek_host.h"
#include "public/yaltime_clock.hpp"

int main(int argc, char **argv)
{
    const char *args[] = {"yaltime_local"};
    char err[1024];
    if (argc != 2) {
        fprintf(stderr, "usage: clock_client PATH/lib-vek-yaltime.so\n");
        return 2;
    }
    if (vek_host_create(args, 1, err, sizeof err) != 0 || vek_host_load(argv[1], err, sizeof err) != 0 ||
        vek_host_start(err, sizeof err) != 0) {
        fprintf(stderr, "clock_client: %s\n", err);
        return 1;
    }
    if (!yaltime::clock::bind(vek_host_lookup)) {
        fprintf(stderr, "clock_client: no YALTIME_NOW to bind\n");
        return 1;
    }
    const YALTIME_NOW_T now = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_NOW);
    const yaltime::clock::time_point t = yaltime::clock::now();
    const double yaltime_now_s = now();
    const std::chrono::system_clock::time_point sys = yaltime::clock::to_sys(t);
    const double clock_s = std::chrono::duration<double>(t.time_since_epoch()).count();
    const auto ns = std::chrono::floor<std::chrono::nanoseconds>(sys.time_since_epoch()).count() % 1000000000;
    printf("yaltime::clock %lld.%09lld s, YALTIME_NOW %.6f s, time_t %lld\n",
           static_cast<long long>(yaltime::clock::to_time_t(t)), static_cast<long long>(ns), yaltime_now_s,
           static_cast<long long>(std::chrono::system_clock::to_time_t(sys)));
    const bool ok = std::fabs(yaltime_now_s - clock_s) < 1.0 &&
                    std::fabs(clock_s - static_cast<double>(std::time(nullptr))) < 5.0 &&
                    std::chrono::system_clock::to_time_t(sys) == yaltime::clock::to_time_t(t);
    fflush(stdout);
    /* The component's discipline thread runs until the process ends. */
    _exit(ok ? 0 : 1);
}
