// yaltime-probe: a client process for the multi-process tests.  It loads the
// component through the stand-in host like any client, starts it with the
// given start-up arguments, and reports what it sees as "key=value" lines
// on stdout, one line per sample:
//
//   yaltime-probe [--arg NAME]... [--count-mmap] [--every SECONDS]
//                 [--for SECONDS] [--tsc-to-now TICKS] [--serve]
//                 [--as-uid UID] [--hold-start SECONDS] [--busy THREADS]
//                 [--accuracy [--through-clock]] [--fork [--parent-exits]] LIBRARY
//
// --hold-start lengthens the first sleep of a second or more that the start
// makes (the initial calibration's span; an owner's takeover is under way
// then) by that much, so that other processes surely meet the start there.
// --busy runs that many threads reading YALTIME_NOW without pause, each
// between two OS-clock readings, for the --for span.
// --fork forks (without exec) once started: the child goes on as below, the
// parent only sleeps until killed, or with --parent-exits ends at once.
//
// --accuracy measures the clock end to end instead of printing samples
// (accuracy_probe.h): every --every seconds for the --for span, the error of
// yaltime_now_ns against the OS clock, and meanwhile on a thread of its own
// how far converting one tick again 1 ms later (yaltime_tsc_to_ns) moves it
// back, all in nanoseconds.  With --through-clock the readings are
// yaltime::clock::now()'s, the clock bound through the host's lookup.
//
// --as-uid drops to that user and group (from root) once the libraries are
// loaded, before the component starts: everything the component does with
// the shared area it does as that user, and the build tree need not be
// readable by it (a checkout under root's 0700 home, say).
//
//   started code=C period=P           after start
//   forked pid=N mono=T               the forked child, first thing
//   sample before=B os=S now=N code=C period=P steps=K updates=U mmap_r=M maps=A mono=T
//                                     (T: CLOCK_MONOTONIC after the readings,
//                                     A: distinct areas mmap_r gave)
//   tsc_to_now ticks=T now=N          the conversion of a given TSC value
//   mmap_r_at os=S                    each attempt to map the shared area
//   holding os=S                      the held sleep of the start begins
//   busy readings=R worst=W           per busy thread: W the largest distance
//                                     (s) of a reading outside its OS bracket
//   accuracy samples=N judged=J p50_ns=A p99_ns=B max_ns=C mean_ns=M
//            max_all_ns=X width_p50_ns=W width_p99_ns=V back_max_ns=K
//            back_max_all_ns=L reading_back_max_ns=R back_checks=Q
//            back_late=Z steps=S code=C   the end of an --accuracy run
//                                     (judged over its second half; X, L
//                                     and R over all of it)
//   serving                           then sleeps until killed (--serve)
#include <dlfcn.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/vek_host.h"
#include "tests/component/accuracy_probe.h"
#include "interface/vek_base.interface.h"
#include "interface/yaltime.interface.h"
#include "public/yaltime_clock.hpp"
#include "time/os_time.h"

namespace {

struct options {
    std::vector<const char *> args;
    bool count_mmap = false;
    bool serve = false;
    bool fork = false;
    bool parent_exits = false;
    double every_s = 0.1;
    double for_s = 0.0;
    bool have_tsc = false;
    long as_uid = -1;
    double hold_start_s = 0.0;
    int busy_threads = 0;
    bool accuracy = false;
    bool through_clock = false;
    uint64_t tsc = 0;
    const char *library = nullptr;
};

VEK_BASE_MMAP_R_T real_mmap_r = nullptr;
std::atomic<int> mmap_r_calls{0};
constexpr int Max_attempts = 256;
std::atomic<double> mmap_r_times[Max_attempts];
constexpr int Max_areas = 16;
std::atomic<void *> areas_given[Max_areas];
std::atomic<int> distinct_areas{0};

VEK_BASE_SLEEP_T real_sleep = nullptr;
double hold_start_s = 0.0;
thread_local bool t_starting = false;

int64_t clock_now_ns() { return yaltime::clock::now().time_since_epoch().count(); }

double mono_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

double os_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// Counts each address mmap_r gives for the first time (only the one mapping
// thread calls it at a time).
void note_area(void *area)
{
    const int known = distinct_areas.load();
    for (int i = 0; i < known && i < Max_areas; ++i)
        if (areas_given[i].load() == area)
            return;
    if (known < Max_areas)
        areas_given[known].store(area);
    distinct_areas.store(known + 1);
}

void *counting_mmap_r(char *name, long *size)
{
    const int n = mmap_r_calls.fetch_add(1);
    if (n < Max_attempts)
        mmap_r_times[n].store(os_now());
    void *area = real_mmap_r(name, size);
    if (area != nullptr)
        note_area(area);
    return area;
}

void held_sleep(double seconds)
{
    if (t_starting && hold_start_s > 0 && seconds >= 1.0) {
        std::printf("holding os=%.6f\n", os_now());
        std::fflush(stdout);
        seconds += hold_start_s;
        hold_start_s = 0;
    }
    real_sleep(seconds);
}

bool parse(int argc, char **argv, options *o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--arg" && has_value)
            o->args.push_back(argv[++i]);
        else if (a == "--count-mmap")
            o->count_mmap = true;
        else if (a == "--serve")
            o->serve = true;
        else if (a == "--fork")
            o->fork = true;
        else if (a == "--parent-exits")
            o->parent_exits = true;
        else if (a == "--every" && has_value)
            o->every_s = std::atof(argv[++i]);
        else if (a == "--for" && has_value)
            o->for_s = std::atof(argv[++i]);
        else if (a == "--tsc-to-now" && has_value) {
            o->have_tsc = true;
            o->tsc = std::strtoull(argv[++i], nullptr, 0);
        } else if (a == "--as-uid" && has_value)
            o->as_uid = std::atol(argv[++i]);
        else if (a == "--hold-start" && has_value)
            o->hold_start_s = std::atof(argv[++i]);
        else if (a == "--busy" && has_value)
            o->busy_threads = std::atoi(argv[++i]);
        else if (a == "--through-clock")
            o->through_clock = true;
        else if (a == "--accuracy")
            o->accuracy = true;
        else if (a[0] != '-' && o->library == nullptr)
            o->library = argv[i];
        else
            return false;
    }
    return o->library != nullptr;
}

template <typename T> T entry(const char *name)
{
    void *f = vek_host_lookup(YALTIME_CMP_NAME, name);
    if (f == nullptr) {
        std::fprintf(stderr, "yaltime-probe: no interface %s\n", name);
        std::exit(2);
    }
    return reinterpret_cast<T>(f);
}

// One of the nanosecond readings, exported by the component's library
// (already loaded by the host: RTLD_NOLOAD finds it).
template <typename T> T exported(const char *library, const char *name)
{
    void *handle = dlopen(library, RTLD_LAZY | RTLD_NOLOAD);
    void *f = handle != nullptr ? dlsym(handle, name) : nullptr;
    if (f == nullptr) {
        std::fprintf(stderr, "yaltime-probe: %s does not export %s\n", library, name);
        std::exit(2);
    }
    return reinterpret_cast<T>(f);
}

bool start_component(const options &o)
{
    char err[512];
    if (vek_host_create(o.args.data(), o.args.size(), err, sizeof err) != 0 ||
        vek_host_load(o.library, err, sizeof err) != 0) {
        std::fprintf(stderr, "yaltime-probe: %s\n", err);
        return false;
    }
    if (o.count_mmap) {
        void *previous = nullptr;
        if (vek_host_override(VEK_BASE_CMP_NAME, "VEK_BASE_MMAP_R", reinterpret_cast<void *>(counting_mmap_r),
                              &previous, err, sizeof err) != 0) {
            std::fprintf(stderr, "yaltime-probe: %s\n", err);
            return false;
        }
        real_mmap_r = reinterpret_cast<VEK_BASE_MMAP_R_T>(previous);
    }
    if (o.hold_start_s > 0) {
        void *previous = nullptr;
        if (vek_host_override(VEK_BASE_CMP_NAME, "VEK_BASE_SLEEP", reinterpret_cast<void *>(held_sleep), &previous,
                              err, sizeof err) != 0) {
            std::fprintf(stderr, "yaltime-probe: %s\n", err);
            return false;
        }
        real_sleep = reinterpret_cast<VEK_BASE_SLEEP_T>(previous);
        hold_start_s = o.hold_start_s;
    }
    if (o.as_uid >= 0) {
        const auto id = static_cast<uid_t>(o.as_uid);
        if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) {
            std::perror("yaltime-probe: --as-uid");
            std::exit(3);
        }
    }
    t_starting = true;
    const int started = vek_host_start(err, sizeof err);
    t_starting = false;
    if (started != 0) {
        std::fprintf(stderr, "yaltime-probe: %s\n", err);
        return false;
    }
    return true;
}

// Reads `now` without pause until `for_s` has passed, each reading between
// two OS-clock readings; the largest distance outside that bracket.
struct busy_result {
    long readings = 0;
    double worst_s = 0;
};

void read_busily(YALTIME_NOW_T now, double for_s, busy_result *result)
{
    const double end = mono_now() + for_s;
    do {
        for (int i = 0; i < 1000; ++i) {
            const double before = os_now();
            const double reading = now();
            const double after = os_now();
            result->worst_s = std::max(result->worst_s, std::max(before - reading, reading - after));
        }
        result->readings += 1000;
    } while (mono_now() < end);
}

// In the child: true, after saying so.  In the parent: false at once with
// parent_exits, else never (it sleeps until killed).
bool fork_and_go_on_in_child(bool parent_exits)
{
    const pid_t pid = fork();
    if (pid == 0) {
        std::printf("forked pid=%d mono=%.6f\n", static_cast<int>(getpid()), mono_now());
        std::fflush(stdout);
        return true;
    }
    if (pid < 0)
        std::perror("yaltime-probe: fork");
    if (parent_exits || pid < 0)
        return false;
    for (;;)
        std::this_thread::sleep_for(std::chrono::seconds(60));
}

} // namespace

int main(int argc, char **argv)
{
    options o;
    if (!parse(argc, argv, &o)) {
        std::fprintf(stderr, "usage: yaltime-probe [--arg NAME]... [--count-mmap] [--every S] [--for S] "
                             "[--tsc-to-now TICKS] [--serve] [--as-uid UID] [--hold-start S] [--busy N] "
                             "[--accuracy] [--fork [--parent-exits]] LIBRARY\n");
        return 2;
    }
    if (!start_component(o))
        return 1;

    auto now = entry<YALTIME_NOW_T>("YALTIME_NOW");
    auto code = entry<YALTIME_GET_CALIBRATION_T>("YALTIME_GET_CALIBRATION");
    auto period = entry<YALTIME_GET_TSC_PERIOD_T>("YALTIME_GET_TSC_PERIOD");
    auto steps = entry<YALTIME_GET_STEP_COUNT_T>("YALTIME_GET_STEP_COUNT");
    auto updates = entry<YALTIME_GET_UPDATE_COUNT_T>("YALTIME_GET_UPDATE_COUNT");
    auto tsc_to_now = entry<YALTIME_TSC_TO_NOW_T>("YALTIME_TSC_TO_NOW");

    std::printf("started code=%d\n", code());
    std::fflush(stdout);
    if (o.fork && !fork_and_go_on_in_child(o.parent_exits))
        return 0;

    if (o.have_tsc)
        std::printf("tsc_to_now ticks=%" PRIu64 " now=%.6f\n", o.tsc, tsc_to_now(o.tsc));

    if (o.accuracy) {
        if (o.through_clock && !yaltime::clock::bind(vek_host_lookup)) {
            std::fprintf(stderr, "yaltime-probe: yaltime::clock does not bind\n");
            return 1;
        }
        const accuracy::summary a =
            accuracy::measure(o.through_clock ? clock_now_ns : exported<YALTIME_NOW_NS_T>(o.library, "yaltime_now_ns"),
                              exported<YALTIME_TSC_TO_NS_T>(o.library, "yaltime_tsc_to_ns"), o.for_s, o.every_s);
        std::printf("accuracy %s steps=%d code=%d\n", accuracy::format(a).c_str(), steps(), code());
        std::fflush(stdout);
        return 0;
    }

    std::vector<busy_result> busy(static_cast<size_t>(std::max(o.busy_threads, 0)));
    std::vector<std::thread> busy_threads;
    for (busy_result &result : busy)
        busy_threads.emplace_back(read_busily, now, o.for_s, &result);

    // Timed on the monotonic clock, so that a stepped OS clock does not end the run.
    const double begin = mono_now();
    do {
        const double before = os_now();
        const double reading = now();
        const double os = os_now();
        const double mono = mono_now();
        std::printf("sample before=%.6f os=%.6f now=%.6f code=%d period=%.17g steps=%d updates=%d mmap_r=%d "
                    "maps=%d mono=%.6f\n",
                    before, os, reading, code(), period(), steps(), updates(), mmap_r_calls.load(),
                    distinct_areas.load(), mono);
        std::fflush(stdout);
        if (mono - begin >= o.for_s)
            break;
        std::this_thread::sleep_for(std::chrono::duration<double>(o.every_s));
    } while (true);

    for (size_t i = 0; i < busy_threads.size(); ++i) {
        busy_threads[i].join();
        std::printf("busy readings=%ld worst=%.9f\n", busy[i].readings, busy[i].worst_s);
    }
    const int attempts = std::min(mmap_r_calls.load(), Max_attempts);
    for (int i = 0; i < attempts; ++i)
        std::printf("mmap_r_at os=%.6f\n", mmap_r_times[i].load());

    if (o.serve) {
        std::printf("serving\n");
        std::fflush(stdout);
        for (;;)
            std::this_thread::sleep_for(std::chrono::seconds(60));
    }
    std::fflush(stdout);
    return 0;
}
