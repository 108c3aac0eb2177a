// yaltime-probe: a client process for the multi-process tests.  It loads the
// component through the stand-in host like any client, starts it with the
// given start-up arguments, and reports what it sees as "key=value" lines
// on stdout, one line per sample:
//
//   yaltime-probe [--arg NAME]... [--count-mmap] [--every SECONDS]
//                 [--for SECONDS] [--tsc-to-now TICKS] [--serve]
//                 [--as-uid UID] LIBRARY
//
// --as-uid drops to that user and group (from root) once the libraries are
// loaded, before the component starts: everything the component does with
// the shared area it does as that user, and the build tree need not be
// readable by it (a checkout under root's 0700 home, say).
//
//   started code=C period=P           after start
//   sample before=B os=S now=N code=C period=P steps=K updates=U mmap_r=M mono=T
//                                     (T: CLOCK_MONOTONIC after the readings)
//   tsc_to_now ticks=T now=N          the conversion of a given TSC value
//   mmap_r_at os=S                    each attempt to map the shared area
//   serving                           then sleeps until killed (--serve)
#include <grp.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/vek_host.h"
#include "interface/vek_base.interface.h"
#include "interface/yaltime.interface.h"
#include "time/os_time.h"

namespace {

struct options {
    std::vector<const char *> args;
    bool count_mmap = false;
    bool serve = false;
    double every_s = 0.1;
    double for_s = 0.0;
    bool have_tsc = false;
    long as_uid = -1;
    uint64_t tsc = 0;
    const char *library = nullptr;
};

VEK_BASE_MMAP_R_T real_mmap_r = nullptr;
std::atomic<int> mmap_r_calls{0};
constexpr int Max_attempts = 256;
std::atomic<double> mmap_r_times[Max_attempts];

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

void *counting_mmap_r(char *name, long *size)
{
    const int n = mmap_r_calls.fetch_add(1);
    if (n < Max_attempts)
        mmap_r_times[n].store(os_now());
    return real_mmap_r(name, size);
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
        else if (a == "--every" && has_value)
            o->every_s = std::atof(argv[++i]);
        else if (a == "--for" && has_value)
            o->for_s = std::atof(argv[++i]);
        else if (a == "--tsc-to-now" && has_value) {
            o->have_tsc = true;
            o->tsc = std::strtoull(argv[++i], nullptr, 0);
        } else if (a == "--as-uid" && has_value)
            o->as_uid = std::atol(argv[++i]);
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
    if (o.as_uid >= 0) {
        const auto id = static_cast<uid_t>(o.as_uid);
        if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) {
            std::perror("yaltime-probe: --as-uid");
            std::exit(3);
        }
    }
    if (vek_host_start(err, sizeof err) != 0) {
        std::fprintf(stderr, "yaltime-probe: %s\n", err);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    options o;
    if (!parse(argc, argv, &o)) {
        std::fprintf(stderr, "usage: yaltime-probe [--arg NAME]... [--count-mmap] [--every S] [--for S] "
                             "[--tsc-to-now TICKS] [--serve] [--as-uid UID] LIBRARY\n");
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

    if (o.have_tsc)
        std::printf("tsc_to_now ticks=%" PRIu64 " now=%.6f\n", o.tsc, tsc_to_now(o.tsc));

    // Timed on the monotonic clock, so that a stepped OS clock does not end the run.
    const double begin = mono_now();
    do {
        const double before = os_now();
        const double reading = now();
        const double os = os_now();
        const double mono = mono_now();
        std::printf("sample before=%.6f os=%.6f now=%.6f code=%d period=%.17g steps=%d updates=%d mmap_r=%d "
                    "mono=%.6f\n",
                    before, os, reading, code(), period(), steps(), updates(), mmap_r_calls.load(), mono);
        std::fflush(stdout);
        if (mono - begin >= o.for_s)
            break;
        std::this_thread::sleep_for(std::chrono::duration<double>(o.every_s));
    } while (true);

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
