/*
 * yaltime_monitor.cpp - the clock monitor.
 *
 *   yaltime-monitor [--library PATH] [--master | --local] [--seconds N]
 *                   [--csv FILE] [--svg FILE] [--quiet]
 *
 * Loads lib-vek-yaltime.so through the host's loader library as any client
 * does, starts it, and once a second prints YALTIME's time of day, the clock
 * error (OS clock minus YALTIME's clock, microseconds), the calibration in
 * use, the TSC frequency, the step and update counts and the loop filter's
 * state, which it reads from the component's exported tsci2_* variables.
 * At the end (after N seconds, or on SIGINT or SIGTERM) it prints a summary
 * of the error and writes the SVG plot.  Each second's clock error is the
 * median of five readings taken back to back, each the OS clock bracketed
 * by two TSC reads, whose middle the component converts to whole
 * nanoseconds (yaltime_tsc_to_ns, public/yaltime_ns.h): the error comes to
 * the nanosecond, where a double of seconds since 1970 would step by 238 ns.
 * Before it starts the component, it runs the TSC check (tools/tsc_check.h:
 * the CPUs' TSCs compared, with the kernel's view and the CPU's flags),
 * prints its verdict, and warns on stderr when the TSC is unfit.
 */
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "host/vek_host.h"
#include "interface/yaltime.interface.h"
#include "public/tsc.h"
#include "public/yaltime_ns.h"
#include "tools/clock_error.h"
#include "tools/component_path.h"
#include "tools/error_plot.h"
#include "tools/monitor_record.h"
#include "tools/monitor_stats.h"
#include "tools/tsc_check.h"
#include "tools/tsc_health.h"

namespace {

struct options {
    std::string library;
    bool master = false;
    bool local = false;
    long seconds = -1; /* until a signal */
    std::string csv_path;
    std::string svg_path;
    bool quiet = false;
};

void usage(FILE *out)
{
    fprintf(out,
            "usage: yaltime-monitor [--library PATH] [--master | --local] [--seconds N]\n"
            "                       [--csv FILE] [--svg FILE] [--quiet]\n"
            "\n"
            "Starts the YALTIME component and prints once a second its time, the clock\n"
            "error (OS clock minus YALTIME clock), the calibration in use, the TSC\n"
            "frequency, step and update counts and the loop filter's state.  On exit\n"
            "(after N seconds, or on Ctrl-C / SIGTERM) it prints a summary.\n"
            "\n"
            "  --library PATH  the component library (default: beside this program's\n"
            "                  ../lib/ or ../lib/vek/, else searched by the host in\n"
            "                  VEK_PLUGIN_PATH and its plug-in directory)\n"
            "  --master        start as owner of the shared calibration (yaltime_master)\n"
            "  --local         use a calibration of this process only (yaltime_local)\n"
            "  --seconds N     stop after N samples (default: run until stopped)\n"
            "  --csv FILE      write every second's figures to FILE\n"
            "  --svg FILE      write a plot of the clock error to FILE at the end\n"
            "  --quiet         no per-second lines, only the summary\n");
}

/* 0: run; 1: help shown; 2: bad usage. */
int parse_options(int argc, char **argv, options &opt)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                fprintf(stderr, "yaltime-monitor: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 1;
        } else if (a == "--master") {
            opt.master = true;
        } else if (a == "--local") {
            opt.local = true;
        } else if (a == "--quiet" || a == "-q") {
            opt.quiet = true;
        } else if (a == "--library" || a == "--csv" || a == "--svg" || a == "--seconds") {
            const char *v = value(a.c_str());
            if (v == nullptr)
                return 2;
            if (a == "--library")
                opt.library = v;
            else if (a == "--csv")
                opt.csv_path = v;
            else if (a == "--svg")
                opt.svg_path = v;
            else {
                char *end = nullptr;
                errno = 0;
                const long n = strtol(v, &end, 10);
                if (errno != 0 || end == v || *end != '\0' || n <= 0) {
                    fprintf(stderr, "yaltime-monitor: --seconds wants a positive whole number, not '%s'\n", v);
                    return 2;
                }
                opt.seconds = n;
            }
        } else {
            fprintf(stderr, "yaltime-monitor: unknown argument '%s' (see --help)\n", argv[i]);
            return 2;
        }
    }
    if (opt.master && opt.local) {
        fprintf(stderr, "yaltime-monitor: --master and --local exclude each other\n");
        return 2;
    }
    return 0;
}

constexpr int CLOCK_ERROR_READINGS = 5;

struct yaltime_api {
    YALTIME_NOW_T now;
    YALTIME_GET_CLOCK_ERROR_T clock_error;
    YALTIME_SNPRINTF_TIME_T snprintf_time;
    YALTIME_GET_CALIBRATION_T calibration;
    YALTIME_GET_TSC_FREQUENCY_T tsc_frequency;
    YALTIME_GET_STEP_COUNT_T step_count;
    YALTIME_GET_UPDATE_COUNT_T update_count;
    /* Exported beside the registration, not an entry point: null in a
     * library older than the nanosecond readings. */
    YALTIME_TSC_TO_NS_T tsc_to_ns;

    bool complete() const
    {
        return now && clock_error && snprintf_time && calibration && tsc_frequency && step_count && update_count;
    }
};

yaltime_api look_up_api()
{
    yaltime_api api;
    api.now = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_NOW);
    api.clock_error = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_GET_CLOCK_ERROR);
    api.snprintf_time = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_SNPRINTF_TIME);
    api.calibration = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_GET_CALIBRATION);
    api.tsc_frequency = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_GET_TSC_FREQUENCY);
    api.step_count = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_GET_STEP_COUNT);
    api.update_count = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_GET_UPDATE_COUNT);
    void *library = vek_host_library_handle(YALTIME_CMP_NAME);
    api.tsc_to_ns = library ? reinterpret_cast<YALTIME_TSC_TO_NS_T>(dlsym(library, "yaltime_tsc_to_ns")) : nullptr;
    return api;
}

/*
 * The loop filter's exported state.  The discipline thread writes these
 * while we read them, so every read is an atomic load; a variable that is
 * missing, or not aligned as an atomic access needs, is left out.
 */
struct loop_globals {
    int *state = nullptr;
    double *jitter_us = nullptr;
    double *stability_ppm = nullptr;
    unsigned int *poll_factor = nullptr;

    bool found() const { return state && jitter_us && stability_ppm && poll_factor; }
};

template <typename T>
T *find_global(void *library, const char *name)
{
    void *p = library ? dlsym(library, name) : nullptr;
    if (p == nullptr || reinterpret_cast<uintptr_t>(p) % std::atomic_ref<T>::required_alignment != 0)
        return nullptr;
    return static_cast<T *>(p);
}

template <typename T>
T load_relaxed(T *p)
{
    return std::atomic_ref<T>(*p).load(std::memory_order_relaxed);
}

loop_globals find_loop_globals()
{
    void *library = vek_host_library_handle(YALTIME_CMP_NAME);
    loop_globals g;
    g.state = find_global<int>(library, "tsci2_state");
    g.jitter_us = find_global<double>(library, "tsci2_jitter");
    g.stability_ppm = find_global<double>(library, "tsci2_stability");
    g.poll_factor = find_global<unsigned int>(library, "tsci2_poll_factor");
    return g;
}

double monotonic_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

/* Waits until the monotonic time `deadline_s`; false if a stop signal came first. */
bool wait_until(double deadline_s, const sigset_t &stop)
{
    for (;;) {
        const double left = deadline_s - monotonic_s();
        if (left <= 0)
            return true;
        struct timespec timeout;
        timeout.tv_sec = static_cast<time_t>(left);
        timeout.tv_nsec = static_cast<long>((left - static_cast<double>(timeout.tv_sec)) * 1e9);
        siginfo_t info;
        const int signal_number = sigtimedwait(&stop, &info, &timeout);
        if (signal_number > 0)
            return false;
    }
}

/*
 * OS clock minus YALTIME's clock in nanoseconds, as YALTIME_GET_CLOCK_ERROR
 * takes it (the OS clock between two TSC reads, the middle converted) but
 * both sides in whole nanoseconds, subtracted as integers.
 */
double clock_error_ns(YALTIME_TSC_TO_NS_T tsc_to_ns)
{
    clock_error::reading r;
    r.tsc_before = rdtsc();
    r.os_ns = clock_error::os_clock_ns();
    r.tsc_after = rdtsc();
    const int64_t yaltime_ns = tsc_to_ns(clock_error::bracket_middle(r));
    /* The OS time is not negative, and the component's is not either on a
     * clock set after 1970 (it falls back to the OS clock, and saturates
     * rather than wrap): the difference cannot overflow. */
    return static_cast<double>(r.os_ns - yaltime_ns);
}

/*
 * The clock error, as the median of a few readings taken back to back: a
 * reading during which this thread was preempted brackets the OS clock
 * loosely and shows the delay as error, and the median drops it.  A library
 * without the nanosecond readings gives the entry point's double.
 */
double clock_error_us(const yaltime_api &api)
{
    std::vector<double> readings;
    for (int i = 0; i < CLOCK_ERROR_READINGS; ++i)
        readings.push_back(api.tsc_to_ns ? clock_error_ns(api.tsc_to_ns) * 1e-3 : api.clock_error() * 1e6);
    return monitor::median(readings);
}

monitor::monitor_line sample(const yaltime_api &api, const loop_globals &loop, double elapsed_s)
{
    monitor::monitor_line line;
    line.elapsed_s = elapsed_s;
    line.error_us = clock_error_us(api);
    line.utc_s = api.now();
    char text[64];
    api.snprintf_time(text, sizeof text, "", line.utc_s);
    line.utc = text;
    line.calibration = api.calibration();
    line.tsc_mhz = api.tsc_frequency() * 1e-6;
    line.steps = api.step_count();
    line.updates = api.update_count();
    if (loop.found()) {
        line.loop_known = true;
        line.state = load_relaxed(loop.state);
        line.jitter_us = load_relaxed(loop.jitter_us);
        line.stability_ppm = load_relaxed(loop.stability_ppm);
        line.poll_s = load_relaxed(loop.poll_factor);
    }
    return line;
}

bool write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    return static_cast<bool>(out);
}

const char *mode_name(const options &opt)
{
    if (opt.master)
        return "owner of the shared calibration";
    if (opt.local)
        return "local-only";
    return "ordinary process";
}

/* Leaves without running destructors: the component's thread runs on. */
[[noreturn]] void finish(int status)
{
    fflush(stdout);
    fflush(stderr);
    _exit(status);
}

} // namespace

int main(int argc, char **argv)
{
    options opt;
    const int parsed = parse_options(argc, argv, opt);
    if (parsed == 1)
        return 0;
    if (parsed != 0)
        return 2;
    if (opt.library.empty())
        opt.library = tools::default_component_library();
    /* Before the component's thread exists: nothing else of ours competes for the CPUs. */
    const tsc_health::health health = tsc_health::read_health(tsc_health::root_from_environment());
    const tsc_check::agreement agreement = tsc_check::measure_agreement();
    const tsc_check::rate no_rate; /* the monitor watches the clock error instead */
    const tsc_check::verdict verdict = tsc_check::judge(health, agreement, no_rate);
    fputs(tsc_health::warning(health).c_str(), stderr);
    fputs(tsc_check::warning(agreement, no_rate).c_str(), stderr);

    /* Blocked before the component starts its thread, which inherits the
     * mask: the stop signals reach only sigtimedwait below. */
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    FILE *csv = nullptr;
    if (!opt.csv_path.empty()) {
        csv = fopen(opt.csv_path.c_str(), "w");
        if (csv == nullptr) {
            fprintf(stderr, "yaltime-monitor: cannot write %s: %s\n", opt.csv_path.c_str(), strerror(errno));
            return 1;
        }
        fputs(monitor::csv_header().c_str(), csv);
        fflush(csv);
    }

    std::vector<const char *> args;
    if (opt.master)
        args.push_back("yaltime_master");
    if (opt.local)
        args.push_back("yaltime_local");
    char err[2048];
    const double load_start_s = monotonic_s();
    if (vek_host_create(args.data(), args.size(), err, sizeof err) != 0 ||
        vek_host_load(opt.library.c_str(), err, sizeof err) != 0 || vek_host_start(err, sizeof err) != 0) {
        fprintf(stderr, "yaltime-monitor: %s\n", err);
        finish(1);
    }
    const double start_s = monotonic_s();
    const yaltime_api api = look_up_api();
    if (!api.complete()) {
        fprintf(stderr, "yaltime-monitor: %s lacks YALTIME entry points\n", opt.library.c_str());
        finish(1);
    }
    const loop_globals loop = find_loop_globals();

    printf("yaltime-monitor: %s as %s, started in %.2f s%s\n", opt.library.c_str(), mode_name(opt),
           start_s - load_start_s, loop.found() ? "" : " (loop state not exported)");
    printf("yaltime-monitor: %s", tsc_check::summary_line(agreement, verdict).c_str());
    if (!opt.quiet)
        fputs(monitor::console_header().c_str(), stdout);
    fflush(stdout);

    std::vector<monitor::monitor_line> lines;
    std::vector<monitor::error_sample> errors;
    for (long k = 1; opt.seconds < 0 || k <= opt.seconds; ++k) {
        if (!wait_until(start_s + static_cast<double>(k), stop))
            break;
        const monitor::monitor_line line = sample(api, loop, monotonic_s() - start_s);
        lines.push_back(line);
        errors.push_back({line.elapsed_s, line.error_us});
        if (!opt.quiet) {
            if (k % 60 == 0)
                fputs(monitor::console_header().c_str(), stdout);
            fputs(monitor::console_row(line).c_str(), stdout);
            fflush(stdout);
        }
        if (csv != nullptr) {
            fputs(monitor::csv_row(line).c_str(), csv);
            fflush(csv);
        }
    }

    int status = 0;
    if (csv != nullptr && fclose(csv) != 0) {
        fprintf(stderr, "yaltime-monitor: error writing %s\n", opt.csv_path.c_str());
        status = 1;
    }
    const monitor::error_summary summary = monitor::summarise_errors(errors);
    if (!lines.empty()) {
        printf("steps %d, updates %d, TSC %.6f MHz, calibration %s\n", lines.back().steps, lines.back().updates,
               lines.back().tsc_mhz, monitor::calibration_name(lines.back().calibration));
        fputs(monitor::format_summary(summary).c_str(), stdout);
    } else {
        printf("no samples taken\n");
    }

    if (!opt.svg_path.empty()) {
        monitor::plot_input plot;
        plot.samples = errors;
        plot.step_times_s = monitor::step_times(lines);
        plot.settled_from_s = summary.settled_from_s;
        plot.title = std::string("YALTIME clock error, ") + mode_name(opt) +
                     (lines.empty() ? std::string(", no samples") : ", from " + lines.front().utc.substr(0, 19) + " UTC");
        if (!write_file(opt.svg_path, monitor::render_error_svg(plot))) {
            fprintf(stderr, "yaltime-monitor: cannot write %s\n", opt.svg_path.c_str());
            status = 1;
        }
    }
    finish(status);
}
