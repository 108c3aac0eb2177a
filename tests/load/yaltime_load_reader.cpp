// yaltime_load_reader: one reader process of the soak.  It loads the
// component through the stand-in host, starts it as an ordinary process
// (neither local-only nor owner), then reads YALTIME_NOW in a tight loop on
// several threads for a given time, bracketing each reading with two reads
// of the OS clock.  A reading's error is how far it lies outside its
// bracket.  At the end it prints one line:
//
//   result readings=N over5us=A over50us=B worst_us=W not_shared=C
//
//   yaltime_load_reader [--threads N] [--seconds S] LIBRARY
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <time.h>

#include "host/vek_host.h"
#include "interface/yaltime.interface.h"

namespace {

struct tally {
    uint64_t readings = 0;
    uint64_t over_5us = 0;
    uint64_t over_50us = 0;
    uint64_t not_shared = 0;
    double worst_s = 0;
};

double os_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

template <typename T> T entry(const char *name)
{
    void *f = vek_host_lookup(YALTIME_CMP_NAME, name);
    if (f == nullptr) {
        std::fprintf(stderr, "yaltime_load_reader: no interface %s\n", name);
        std::exit(2);
    }
    return reinterpret_cast<T>(f);
}

void read_until(double deadline, YALTIME_NOW_T now, YALTIME_GET_CALIBRATION_T code, tally *t)
{
    for (;;) {
        for (int i = 0; i < 1000; ++i) {
            const double before = os_now();
            const double reading = now();
            const double after = os_now();
            const double error = reading < before ? before - reading : (reading > after ? reading - after : 0.0);
            ++t->readings;
            t->over_5us += error > 5e-6;
            t->over_50us += error > 50e-6;
            if (error > t->worst_s)
                t->worst_s = error;
        }
        t->not_shared += code() != 2;
        if (os_now() >= deadline)
            return;
    }
}

} // namespace

int main(int argc, char **argv)
{
    int threads = 4;
    double seconds = 60;
    const char *library = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
            threads = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else
            library = argv[i];
    }
    if (library == nullptr || threads < 1) {
        std::fprintf(stderr, "usage: yaltime_load_reader [--threads N] [--seconds S] LIBRARY\n");
        return 2;
    }

    char err[512];
    if (vek_host_create(nullptr, 0, err, sizeof err) != 0 || vek_host_load(library, err, sizeof err) != 0 ||
        vek_host_start(err, sizeof err) != 0) {
        std::fprintf(stderr, "yaltime_load_reader: %s\n", err);
        return 1;
    }
    auto now = entry<YALTIME_NOW_T>("YALTIME_NOW");
    auto code = entry<YALTIME_GET_CALIBRATION_T>("YALTIME_GET_CALIBRATION");
    (void)now();
    std::printf("ready code=%d\n", code());
    std::fflush(stdout);

    const double deadline = os_now() + seconds;
    std::vector<tally> tallies(static_cast<size_t>(threads));
    std::vector<std::thread> readers;
    for (int n = 0; n < threads; ++n)
        readers.emplace_back(read_until, deadline, now, code, &tallies[static_cast<size_t>(n)]);
    for (std::thread &t : readers)
        t.join();

    tally total;
    for (const tally &t : tallies) {
        total.readings += t.readings;
        total.over_5us += t.over_5us;
        total.over_50us += t.over_50us;
        total.not_shared += t.not_shared;
        if (t.worst_s > total.worst_s)
            total.worst_s = t.worst_s;
    }
    std::printf("result readings=%" PRIu64 " over5us=%" PRIu64 " over50us=%" PRIu64 " worst_us=%.3f not_shared=%" PRIu64
                "\n",
                total.readings, total.over_5us, total.over_50us, total.worst_s * 1e6, total.not_shared);
    std::fflush(stdout);
    return 0;
}
