/*
 * yaltime_status.cpp - is a YALTIME calibration owner alive on this machine?
 *
 *   yaltime-status [--json] [--watch-seconds S]
 *
 * Opens the shared area "/" $VEK_SHM_PREFIX "yal_time_master" read-only,
 * without loading the component, watches its heartbeat for up to S seconds
 * (default 2; the owner bumps it once a second) and reports it with the
 * area's index, TSC frequency, steps and updates.
 *
 * Exit status: 0 live, 1 stale, 2 absent, 3 invalid (wrong size, index
 * outside the ring), 4 bad usage or an area that cannot be opened,
 * 5 untrusted (owned by neither root nor this user, or writable by group or
 * others: readers ignore it).  An untrusted area is neither mapped nor read.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "tools/shared_area.h"

namespace {

constexpr double POLL_INTERVAL_S = 0.05;

void usage(FILE *out)
{
    fprintf(out,
            "usage: yaltime-status [--json] [--watch-seconds S]\n"
            "\n"
            "Reports whether a YALTIME calibration owner is alive: watches the heartbeat\n"
            "of the shared area /${VEK_SHM_PREFIX}yal_time_master for up to S seconds\n"
            "(default 2) and prints it with its owner and mode, idx, valid_idx, the TSC\n"
            "frequency in force, steps and updates.  The area is only read.  Like every\n"
            "reader, it trusts only an area of root or of its own user that nobody else\n"
            "can write.\n"
            "\n"
            "  --json             one JSON object instead of text\n"
            "  --watch-seconds S  how long to wait for the heartbeat to change\n"
            "\n"
            "exit status: 0 live, 1 stale, 2 absent, 3 invalid, 4 usage or system error,\n"
            "             5 untrusted\n");
}

double monotonic_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void sleep_s(double seconds)
{
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

/* Seconds after which the heartbeat was seen to change, or -1. */
double watch_heartbeat(const void *area, double watch_s, double *watched_s)
{
    const double start = monotonic_s();
    const int32_t first = status::read_heartbeat(area);
    for (;;) {
        const double now = monotonic_s();
        if (status::read_heartbeat(area) != first) {
            *watched_s = now - start;
            return now - start;
        }
        if (now - start >= watch_s) {
            *watched_s = now - start;
            return -1.0;
        }
        sleep_s(POLL_INTERVAL_S);
    }
}

int emit(const status::report &r, bool json, int code)
{
    fputs(json ? status::format_json(r).c_str() : status::format_text(r).c_str(), stdout);
    return code;
}

} // namespace

int main(int argc, char **argv)
{
    bool json = false;
    double watch_s = 2.0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--json") {
            json = true;
        } else if (a == "--watch-seconds" && i + 1 < argc) {
            char *end = nullptr;
            watch_s = strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !(watch_s >= 0.0) || watch_s > 3600.0) {
                fprintf(stderr, "yaltime-status: --watch-seconds wants 0 to 3600, not '%s'\n", argv[i]);
                return status::EXIT_FAILED;
            }
        } else {
            fprintf(stderr, "yaltime-status: unknown argument '%s' (see --help)\n", argv[i]);
            return status::EXIT_FAILED;
        }
    }

    status::report r;
    r.area = status::area_posix_name(getenv("VEK_SHM_PREFIX"));
    const int fd = shm_open(r.area.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0);
    if (fd < 0) {
        if (errno == ENOENT) {
            r.status = "absent";
            return emit(r, json, status::EXIT_ABSENT);
        }
        fprintf(stderr, "yaltime-status: cannot open %s: %s\n", r.area.c_str(), strerror(errno));
        return status::EXIT_FAILED;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        fprintf(stderr, "yaltime-status: cannot stat %s: %s\n", r.area.c_str(), strerror(errno));
        return status::EXIT_FAILED;
    }
    r.size_bytes = static_cast<long>(st.st_size);
    if (!status::judge_area(st, r)) {
        close(fd);
        return emit(r, json, status::EXIT_UNTRUSTED);
    }
    if (static_cast<std::size_t>(st.st_size) != status::AREA_SIZE_BYTES) {
        status::area_fields unused;
        r.status = "invalid";
        r.problem = status::read_area(nullptr, static_cast<std::size_t>(st.st_size), unused);
        return emit(r, json, status::EXIT_INVALID);
    }
    void *area = mmap(nullptr, status::AREA_SIZE_BYTES, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (area == MAP_FAILED) {
        fprintf(stderr, "yaltime-status: cannot map %s: %s\n", r.area.c_str(), strerror(errno));
        return status::EXIT_FAILED;
    }

    r.problem = status::read_area(area, status::AREA_SIZE_BYTES, r.fields);
    r.fields_known = true;
    if (!r.problem.empty()) {
        r.status = "invalid";
        return emit(r, json, status::EXIT_INVALID);
    }
    r.changed_after_s = watch_heartbeat(area, watch_s, &r.watched_s);
    /* The figures as they stand after the watch. */
    r.problem = status::read_area(area, status::AREA_SIZE_BYTES, r.fields);
    if (!r.problem.empty()) {
        r.status = "invalid";
        return emit(r, json, status::EXIT_INVALID);
    }
    const bool live = r.changed_after_s >= 0;
    r.status = live ? "live" : "stale";
    return emit(r, json, live ? status::EXIT_LIVE : status::EXIT_STALE);
}
