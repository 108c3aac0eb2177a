/*
 * yaltime_bench.cpp - the cost of reading YALTIME's clock, as a client sees
 * it: through the function pointers the host hands out.
 *
 *   yaltime-bench MODE [--library PATH] [benchmark options]
 *
 * MODE picks how this process starts the component, since the choice of
 * calibration is process-wide:
 *   local     yaltime_local: the process's own calibration, no shared area
 *   owner     yaltime_master: this process owns and disciplines the area
 *   reader    no argument, with a live owner running (VEK_SHM_PREFIX shared)
 *   ordinary  no argument and no area: falls back to its own calibration
 *   baseline  no component: rdtsc, clock_gettime, gettimeofday, system_clock
 *   discipline  no component: the CPU time of one discipline cycle without
 *             its sleep (tsci2::discipline_cycle on a private context, the
 *             real clocks, a sleep that returns at once): as the schedule
 *             falls (a poll every 16 cycles or more) and with a poll in
 *             every cycle.  No time passes between the cycles, so what the
 *             loop concludes means nothing; the work it does is the work of
 *             a cycle.
 *   unbound   no component, 80 more shared objects loaded: yaltime::clock
 *             unbound (nothing to bind to), against clock_gettime
 *   pending   as unbound, with the component loaded and bound through the
 *             host's lookup but not started: the clock waits for the start
 *   tsc_check no component: the wall time of the tools' cross-CPU TSC
 *             check (tsc_check::measure_agreement), against a baseline of
 *             the same thread pairs started, pinned and joined without the
 *             ping-pong
 * Before measuring it checks that YALTIME_GET_CALIBRATION reports the
 * calibration the mode stands for, and refuses to measure otherwise.
 *
 * Every call is made the way a client makes it: through a function pointer
 * read from a global, never inlined into the loop (yaltime_now_ns and
 * yaltime_tsc_to_ns from dlsym on the component's library, as they are not
 * registered entry points).  The baselines too, each
 * a small function of this file called through a pointer of its own, so
 * that the ratios compare the calls and not an inlined instruction with a
 * call.
 * bench/run_benchmarks.sh runs every mode and prints the comparison.
 */
#include <dlfcn.h>
#include <link.h>
#include <sched.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "host/vek_host.h"
#include "interface/vek_base.interface.h"
#include "interface/yaltime.interface.h"
#include "public/tsc.h"
#include "public/yaltime_clock.hpp"
#include "public/yaltime_ns.h"
#include "time/calibration.h"
#include "time/discipline_cycle.h"
#include "time/tsci2_loopfilter.h"
#include "time/tsc_discipline.h"
#include "time/tsci2_loopfilter_internal.h"
#include "tools/component_path.h"
#include "tools/tsc_check.h"

/* Set once before any benchmark thread exists, read-only afterwards.  Of
 * external linkage, so that the compiler cannot know what they point at. */
YALTIME_NOW_T yaltime_now;
YALTIME_GET_CURRENT_USEC_T yaltime_current_usec;
YALTIME_NOW_NTP_T yaltime_now_ntp;
YALTIME_NOW_FRAME_T yaltime_now_frame;
YALTIME_NOW_NS_T component_now_ns;       /* dlsym'd from the component's library */
YALTIME_TSC_TO_NS_T component_tsc_to_ns; /* likewise */
std::uint64_t (*baseline_rdtsc)();
struct timespec (*baseline_clock_gettime)();
struct timeval (*baseline_gettimeofday)();
std::chrono::system_clock::time_point (*baseline_system_clock)();

namespace {

/* The baselines, each called through its pointer above. */
__attribute__((noinline)) std::uint64_t read_rdtsc()
{
    return rdtsc();
}

__attribute__((noinline)) struct timespec read_clock_gettime()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

__attribute__((noinline)) struct timeval read_gettimeofday()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv;
}

__attribute__((noinline)) std::chrono::system_clock::time_point read_system_clock()
{
    return std::chrono::system_clock::now();
}

constexpr unsigned int FRAME_RATE = 60;

/*
 * Measured in CPU time of the calling threads: on a small machine shared with
 * other work, wall time would also count the time a thread waits for a core,
 * which says nothing about the call (nor about two threads contending).
 */
void register_call(const std::string &name, void (*body)(benchmark::State &))
{
    benchmark::RegisterBenchmark(name.c_str(), body)->Threads(1)->Threads(2);
}

void bm_now(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(yaltime_now());
}

void bm_current_usec(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(yaltime_current_usec());
}

void bm_now_ntp(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(yaltime_now_ntp());
}

void bm_now_frame(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(yaltime_now_frame(FRAME_RATE));
}

void bm_now_ns(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(component_now_ns());
}

/* A bare rdtsc (inlined, as a client reads it) converted through the pointer. */
void bm_tsc_to_ns(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(component_tsc_to_ns(rdtsc()));
}

void bm_clock_now(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(yaltime::clock::now());
}

void bm_rdtsc(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(baseline_rdtsc());
}

void bm_clock_gettime(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(baseline_clock_gettime());
}

void bm_gettimeofday(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(baseline_gettimeofday());
}

void bm_system_clock(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(baseline_system_clock());
}

/* ---- the discipline's cycle ---------------------------------------------- */

calibration_context_t discipline_context; /* private: no other process sees it */
tsci2::tsc_discipline discipline;          /* the estimate the thread would hold */

void real_sleep(double seconds)
{
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void no_sleep(double) {}

/* The initial calibration with real sleeps (its slope wants its second),
 * then every sleep returns at once. */
void start_discipline()
{
    vek_base_sleep = real_sleep;
    tsci2_loopfilter_init(&discipline_context);
    discipline.start(&discipline_context);
    vek_base_sleep = no_sleep;
}

void count_steps(benchmark::State &state, int32_t steps_before)
{
    const double steps = calib::load(discipline_context.stepcount) - steps_before;
    state.counters["steps_per_cycle"] = benchmark::Counter(steps / static_cast<double>(state.iterations()));
}

void bm_discipline_cycle(benchmark::State &state)
{
    const int32_t steps_before = calib::load(discipline_context.stepcount);
    for (auto _ : state)
        tsci2::discipline_cycle(&discipline_context, discipline);
    count_steps(state, steps_before);
}

void bm_discipline_polling_cycle(benchmark::State &state)
{
    const int32_t steps_before = calib::load(discipline_context.stepcount);
    for (auto _ : state) {
        tsci2_poll_factor = 1; /* the cycle's timer reaches the factor: it polls */
        tsci2_poll_timer = 0;
        tsci2::discipline_cycle(&discipline_context, discipline);
    }
    count_steps(state, steps_before);
}

/* ---- the TSC check ----------------------------------------------------------- */

void bm_tsc_check(benchmark::State &state)
{
    int measured = 0;
    for (auto _ : state)
        measured = tsc_check::measure_agreement().cpus_measured;
    state.counters["cpus_measured"] = measured;
}

void pin_self(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

/* The check's threads without their work: a pinned pair per compared CPU. */
void bm_pinned_thread_pairs(benchmark::State &state)
{
    cpu_set_t allowed;
    sched_getaffinity(0, sizeof allowed, &allowed);
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed))
            cpus.push_back(cpu);
    for (auto _ : state)
        for (std::size_t i = 1; i < cpus.size(); ++i) {
            std::thread a(pin_self, cpus[0]), b(pin_self, cpus[i]);
            a.join();
            b.join();
        }
}

struct mode_info {
    const char *name;
    const char *start_arg; /* null: none */
    int expected_calibration;
};

const mode_info MODES[] = {
    {"local", "yaltime_local", YALTIME_CALIBRATION_OWN},
    {"owner", "yaltime_master", YALTIME_CALIBRATION_OWNER},
    {"reader", nullptr, YALTIME_CALIBRATION_SHARED},
    {"ordinary", nullptr, YALTIME_CALIBRATION_OWN},
    {"planted", nullptr, YALTIME_CALIBRATION_OWN}, /* beside an untrusted object under the name */
};

int start_component(const mode_info &mode, const std::string &library)
{
    std::vector<const char *> args;
    if (mode.start_arg)
        args.push_back(mode.start_arg);
    char err[2048];
    if (vek_host_create(args.data(), args.size(), err, sizeof err) != 0 ||
        vek_host_load(library.c_str(), err, sizeof err) != 0 || vek_host_start(err, sizeof err) != 0) {
        fprintf(stderr, "yaltime-bench: %s\n", err);
        return 1;
    }
    yaltime_now = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_NOW);
    yaltime_current_usec = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_GET_CURRENT_USEC);
    yaltime_now_ntp = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_NOW_NTP);
    yaltime_now_frame = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_NOW_FRAME);
    auto calibration = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_GET_CALIBRATION);
    /* Not registered entry points: from the loaded library's handle, kept
     * open until the process ends. */
    if (void *handle = dlopen(library.c_str(), RTLD_NOLOAD | RTLD_LAZY)) {
        component_now_ns = reinterpret_cast<YALTIME_NOW_NS_T>(dlsym(handle, "yaltime_now_ns"));
        component_tsc_to_ns = reinterpret_cast<YALTIME_TSC_TO_NS_T>(dlsym(handle, "yaltime_tsc_to_ns"));
    }
    if (!yaltime_now || !yaltime_current_usec || !yaltime_now_ntp || !yaltime_now_frame || !calibration ||
        !component_now_ns || !component_tsc_to_ns || !yaltime::clock::bind(vek_host_lookup)) {
        fprintf(stderr, "yaltime-bench: %s lacks YALTIME entry points\n", library.c_str());
        return 1;
    }
    /* The first readings make the choice of calibration (and map the area). */
    for (int i = 0; i < 1000; ++i)
        benchmark::DoNotOptimize(yaltime_now());
    if (calibration() != mode.expected_calibration) {
        fprintf(stderr, "yaltime-bench: mode %s expects calibration code %d, the component reports %d\n", mode.name,
                mode.expected_calibration, calibration());
        return 3;
    }
    return 0;
}

/* Shared objects this process has loaded, the program included. */
int loaded_object_count()
{
    int count = 0;
    dl_iterate_phdr([](dl_phdr_info *, std::size_t, void *n) { return ++*static_cast<int *>(n), 0; }, &count);
    return count;
}

/*
 * Loads `copies` copies of a plug-in that includes yaltime_clock.hpp, each
 * a file of its own (the loader loads one object per file), as a host with
 * many plug-ins has them.  The files are removed at once: the mappings stay.
 */
int load_object_copies(int copies)
{
    char dir[] = "/tmp/yaltime_bench_XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    std::ifstream in(YALTIME_BENCH_OBJECT, std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int status = image.empty() ? 1 : 0;
    for (int i = 0; i < copies && status == 0; ++i) {
        const std::string path = std::string(dir) + "/object_" + std::to_string(i) + ".so";
        std::ofstream(path, std::ios::binary) << image;
        if (dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL) == nullptr) {
            fprintf(stderr, "yaltime-bench: %s\n", dlerror());
            status = 1;
        }
        unlink(path.c_str());
    }
    rmdir(dir);
    return status;
}

/* The unbound clock among 80 more shared objects; with `component`, the
 * component loaded and bound through the host's lookup, not started. */
int prepare_unbound(bool component, const std::string &library)
{
    constexpr int OBJECTS = 80;
    if (load_object_copies(OBJECTS) != 0)
        return 1;
    if (component) {
        char err[2048];
        if (vek_host_create(nullptr, 0, err, sizeof err) != 0 || vek_host_load(library.c_str(), err, sizeof err) != 0) {
            fprintf(stderr, "yaltime-bench: %s\n", err);
            return 1;
        }
        if (!yaltime::clock::bind(vek_host_lookup)) {
            fprintf(stderr, "yaltime-bench: %s lacks YALTIME entry points\n", library.c_str());
            return 1;
        }
    }
    if (yaltime::clock::bound()) {
        fprintf(stderr, "yaltime-bench: the clock is bound, not what this mode measures\n");
        return 3;
    }
    fprintf(stderr, "yaltime-bench: %d shared objects loaded\n", loaded_object_count());
    baseline_clock_gettime = read_clock_gettime;
    return 0;
}

void usage()
{
    fprintf(stderr, "usage: yaltime-bench local|owner|reader|ordinary|planted|baseline|discipline|unbound|pending|tsc_check "
                    "[--library PATH] [benchmark options]\n");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        usage();
        return 2;
    }
    const std::string mode_name = argv[1];
    std::string library;
    std::vector<char *> bench_args = {argv[0]};
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--library") == 0 && i + 1 < argc)
            library = argv[++i];
        else
            bench_args.push_back(argv[i]);
    }
    if (library.empty())
        library = tools::default_component_library();

    if (mode_name == "baseline") {
        baseline_rdtsc = read_rdtsc;
        baseline_clock_gettime = read_clock_gettime;
        baseline_gettimeofday = read_gettimeofday;
        baseline_system_clock = read_system_clock;
        register_call("baseline/rdtsc", bm_rdtsc);
        register_call("baseline/clock_gettime", bm_clock_gettime);
        register_call("baseline/gettimeofday", bm_gettimeofday);
        register_call("baseline/system_clock::now", bm_system_clock);
    } else if (mode_name == "discipline") {
        start_discipline();
        benchmark::RegisterBenchmark("discipline/cycle", bm_discipline_cycle)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("discipline/polling_cycle", bm_discipline_polling_cycle)
            ->Unit(benchmark::kMicrosecond);
    } else if (mode_name == "tsc_check") {
        benchmark::RegisterBenchmark("tsc_check/measure_agreement", bm_tsc_check)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark("tsc_check/pinned_thread_pairs", bm_pinned_thread_pairs)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    } else if (mode_name == "unbound" || mode_name == "pending") {
        if (int status = prepare_unbound(mode_name == "pending", library); status != 0) {
            fflush(stderr);
            _exit(status);
        }
        register_call(mode_name + "/yaltime::clock::now", bm_clock_now);
        register_call(mode_name + "/clock_gettime", bm_clock_gettime);
    } else {
        const mode_info *mode = nullptr;
        for (const mode_info &m : MODES)
            if (mode_name == m.name)
                mode = &m;
        if (mode == nullptr) {
            usage();
            return 2;
        }
        if (int status = start_component(*mode, library); status != 0) {
            fflush(stderr);
            _exit(status);
        }
        register_call(mode_name + "/YALTIME_NOW", bm_now);
        register_call(mode_name + "/YALTIME_GET_CURRENT_USEC", bm_current_usec);
        register_call(mode_name + "/YALTIME_NOW_NTP", bm_now_ntp);
        register_call(mode_name + "/YALTIME_NOW_FRAME", bm_now_frame);
        register_call(mode_name + "/yaltime::clock::now", bm_clock_now);
        register_call(mode_name + "/yaltime_now_ns", bm_now_ns);
        register_call(mode_name + "/yaltime_tsc_to_ns(rdtsc())", bm_tsc_to_ns);
    }

    int bench_argc = static_cast<int>(bench_args.size());
    benchmark::Initialize(&bench_argc, bench_args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fflush(stdout);
    fflush(stderr);
    /* The component's discipline thread runs on: leave without destructors. */
    _exit(0);
}
