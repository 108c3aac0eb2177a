/*
 * yaltime_status.cpp - is a YALTIME calibration owner alive on this machine?
 *
 *   yaltime-status [--json | --prometheus] [--output FILE] [--watch-seconds S]
 *
 * Opens the shared area "/" $VEK_SHM_PREFIX "yal_time_master" read-only,
 * without loading the component, watches its heartbeat for up to S seconds
 * (default 2; the owner bumps it once a second) and reports it with the
 * area's index, TSC frequency, steps and updates, the pid of the process
 * holding the owner's lock (when /proc/locks tells), the shared clock's error
 * against the OS clock, the kernel's view of the TSC, and the TSC check
 * (tools/tsc_check.h): the CPUs' agreement measured at the start, the rate
 * against CLOCK_MONOTONIC_RAW over the time it watched, and the verdict,
 * with a warning on stderr when the TSC is unfit.  --prometheus gives the same as
 * metrics for node_exporter's textfile collector; --output writes the
 * report to a file atomically instead of to stdout, following no symbolic
 * link (tools/atomic_file.h), and refuses a target that is a link or not a
 * regular file.  A watch shorter than MIN_WATCH_S could miss a live
 * owner's beat, so it is refused.
 *
 * Exit status: 0 live, 1 stale, 2 absent, 3 invalid (wrong size, index
 * outside the ring), 4 bad usage, an area that cannot be opened, or an
 * --output file that cannot or may not be written, 5 untrusted (owned by
 * neither root nor this user, or writable by group or others: readers
 * ignore it).  An
 * untrusted area is neither mapped nor read.
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
#include <vector>

#include "host/shm_owner.h"
#include "tools/atomic_file.h"
#include "tools/clock_error.h"
#include "tools/prometheus_format.h"
#include "tools/shared_area.h"
#include "tools/tsc_check.h"
#include "tools/tsc_health.h"

namespace {

constexpr double POLL_INTERVAL_S = 0.05;
/* The owner beats once a second; half a second more covers a late beat. */
constexpr double MIN_WATCH_S = 1.5;
constexpr double MAX_WATCH_S = 3600.0;

void usage(FILE *out)
{
    fprintf(out,
            "usage: yaltime-status [--json | --prometheus] [--output FILE] [--watch-seconds S]\n"
            "\n"
            "Reports whether a YALTIME calibration owner is alive: watches the heartbeat\n"
            "of the shared area /${VEK_SHM_PREFIX}yal_time_master for up to S seconds\n"
            "(default 2) and prints it with its owner and mode, the owner's pid, idx,\n"
            "valid_idx, the TSC frequency in force, steps and updates, the shared\n"
            "clock's error (OS clock minus YALTIME's clock), the kernel's clocksource\n"
            "and TSC flags, and a TSC check: the CPUs' TSCs compared (a few ms), the\n"
            "rate against CLOCK_MONOTONIC_RAW over the watch, and a verdict (fit, unfit,\n"
            "unknown).  The area is only read.  Like every reader, it\n"
            "trusts only an area of root or of its own user that nobody else can write.\n"
            "\n"
            "  --json             one JSON object instead of text\n"
            "  --prometheus       Prometheus metrics (text exposition format)\n"
            "  --output FILE      write the report to FILE atomically (temporary file\n"
            "                     in the same folder, then rename), not to stdout;\n"
            "                     no symbolic link is followed, and a FILE that is a\n"
            "                     link or not a regular file is refused (exit 4)\n"
            "  --watch-seconds S  how long to wait for the heartbeat to change, 1.5 to\n"
            "                     3600 (the owner beats once a second)\n"
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

/* (TSC, raw clock) pairs from the start to the report, one per poll of the watch. */
std::vector<tsc_check::rate_sample> rate_samples;

/* Seconds after which the heartbeat was seen to change, or -1. */
double watch_heartbeat(const void *area, double watch_s, double *watched_s)
{
    const double start = monotonic_s();
    const int32_t first = status::read_heartbeat(area);
    for (;;) {
        rate_samples.push_back(tsc_check::take_rate_sample());
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

/* What main finds besides the report, and how it wants it written. */
bool prometheus_output = false;
std::string output_path;
bool clock_error_measured = false;
prometheus::status_facts facts;

std::string report_text(const status::report &r, bool json, int code)
{
    if (prometheus_output) {
        facts.report = r;
        facts.status_code = code;
        return prometheus::status_metrics(facts);
    }
    if (json) {
        std::string out = status::format_json(r);
        const std::size_t end = out.rfind('}');
        std::string extra = clock_error_measured ? clock_error::json_fields(facts.error) : "";
        /* The kernel's facts stay last, where they have always been. */
        extra += tsc_check::json_fields(facts.agreement, facts.rate, facts.verdict);
        extra += tsc_health::boot_parameter_json(facts.health) + tsc_health::json_fields(facts.health);
        return out.insert(end, extra);
    }
    std::string out = status::format_text(r);
    if (clock_error_measured)
        out += clock_error::format_text(facts.error);
    return out + tsc_health::format_text(facts.health) +
           tsc_check::format_text(facts.agreement, facts.rate, facts.verdict);
}

/* The rate over everything watched, and the verdict from all the findings. */
void judge_tsc()
{
    rate_samples.push_back(tsc_check::take_rate_sample());
    facts.rate = tsc_check::judge_rate(rate_samples);
    facts.verdict = tsc_check::judge(facts.health, facts.agreement, facts.rate);
}

int emit(const status::report &r, bool json, int code)
{
    judge_tsc();
    fputs(tsc_health::warning(facts.health).c_str(), stderr);
    fputs(tsc_check::warning(facts.agreement, facts.rate).c_str(), stderr);
    const std::string text = report_text(r, json, code);
    if (output_path.empty()) {
        fputs(text.c_str(), stdout);
        return code;
    }
    const std::string problem = atomic_file::write(output_path, text);
    if (!problem.empty()) {
        fprintf(stderr, "yaltime-status: %s\n", problem.c_str());
        return status::EXIT_FAILED;
    }
    return code;
}

/* The area could not be examined: the metrics say so, the other formats print nothing. */
int emit_failure(status::report &r, bool json)
{
    if (!prometheus_output)
        return status::EXIT_FAILED;
    r.status = "failed";
    return emit(r, json, status::EXIT_FAILED);
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
        } else if (a == "--prometheus") {
            prometheus_output = true;
        } else if (a == "--output" && i + 1 < argc) {
            output_path = argv[++i];
        } else if (a == "--watch-seconds" && i + 1 < argc) {
            char *end = nullptr;
            watch_s = strtod(argv[++i], &end);
            if (end == argv[i] || *end != '\0' || !(watch_s >= MIN_WATCH_S) || watch_s > MAX_WATCH_S) {
                fprintf(stderr,
                        "yaltime-status: --watch-seconds wants %g to %g (the owner beats once a second), not '%s'\n",
                        MIN_WATCH_S, MAX_WATCH_S, argv[i]);
                return status::EXIT_FAILED;
            }
        } else {
            fprintf(stderr, "yaltime-status: unknown argument '%s' (see --help)\n", argv[i]);
            return status::EXIT_FAILED;
        }
    }

    if (json && prometheus_output) {
        fprintf(stderr, "yaltime-status: --json and --prometheus exclude each other\n");
        return status::EXIT_FAILED;
    }
    facts.health = tsc_health::read_health(tsc_health::root_from_environment());
    rate_samples.push_back(tsc_check::take_rate_sample());
    facts.agreement = tsc_check::measure_agreement();
    facts.tsc_checked = true;

    status::report r;
    r.area = status::area_posix_name(getenv("VEK_SHM_PREFIX"));
    const int fd = shm_open(r.area.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0);
    struct stat st;
    if (fd < 0) {
        const int open_errno = errno;
        if (open_errno == ENOENT) {
            r.status = "absent";
            return emit(r, json, status::EXIT_ABSENT);
        }
        /* A socket or a symbolic link under the name cannot be opened: judge the entry. */
        if (shm_owner::stat_entry(r.area, &st) && !status::judge_area(st, r))
            return emit(r, json, status::EXIT_UNTRUSTED);
        fprintf(stderr, "yaltime-status: cannot open %s: %s\n", r.area.c_str(), strerror(open_errno));
        return emit_failure(r, json);
    }
    if (fstat(fd, &st) != 0) {
        fprintf(stderr, "yaltime-status: cannot stat %s: %s\n", r.area.c_str(), strerror(errno));
        return emit_failure(r, json);
    }
    r.size_bytes = static_cast<long>(st.st_size);
    if (!status::judge_area(st, r)) {
        close(fd);
        return emit(r, json, status::EXIT_UNTRUSTED);
    }
    r.owner_pid = shm_owner::lock_holder_pid(st);
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
        return emit_failure(r, json);
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
    facts.error = clock_error::estimate_error(clock_error::take_readings(area, clock_error::READINGS));
    clock_error_measured = true;
    const bool live = r.changed_after_s >= 0;
    r.status = live ? "live" : "stale";
    return emit(r, json, live ? status::EXIT_LIVE : status::EXIT_STALE);
}
