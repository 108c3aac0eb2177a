// accuracy_probe.cpp - the end-to-end measurement of yaltime-probe --accuracy.
#include "tests/component/accuracy_probe.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "public/tsc.h"

namespace accuracy {

namespace {

constexpr int Brackets_per_sample = 5;

double mono_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The raw monotonic clock, which no daemon's slew (nor the tests' preload library) moves.
double raw_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int64_t os_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct sample {
    int64_t error_ns, width_ns;
};

// The narrowest of the brackets: YALTIME's time of its middle minus the OS
// clock.  Each reading is checked against the thread's reading before it.
struct sampler {
    YALTIME_NOW_NS_T now_ns;
    int64_t last_ns = 0, back_max_ns = 0;

    sample take()
    {
        const auto read = [this] {
            const int64_t t = now_ns();
            back_max_ns = std::max(back_max_ns, last_ns - t);
            return last_ns = t;
        };
        sample best{0, INT64_MAX};
        for (int i = 0; i < Brackets_per_sample; ++i) {
            const int64_t begin = read(), os = os_ns(), end = read();
            if (end - begin < best.width_ns)
                best = {begin + (end - begin) / 2 - os, end - begin};
        }
        return best;
    }
};

// One tick converted, then again 1 ms later, until `end_mono_s`.  A pair
// the scheduler kept more than 1.5 ms apart (from the tick to the second
// conversion) is not a 1 ms pair: it is counted in `late`, not judged.
struct back_watch {
    std::atomic<bool> second_half{false};
    long long max_ns = 0, max_all_ns = 0;
    long checks = 0, late = 0;

    void run(YALTIME_TSC_TO_NS_T tsc_to_ns, double end_mono_s)
    {
        while (mono_s() < end_mono_s) {
            const double begin_s = raw_s();
            const uint64_t tick = rdtsc();
            const int64_t first = tsc_to_ns(tick);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const long long back_ns = first - tsc_to_ns(tick);
            if (raw_s() - begin_s > 1.5e-3) {
                ++late;
                continue;
            }
            ++checks;
            max_all_ns = std::max(max_all_ns, back_ns);
            if (second_half.load(std::memory_order_relaxed))
                max_ns = std::max(max_ns, back_ns);
        }
    }
};

} // namespace

double percentile(std::vector<double> &values, double q)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<size_t>(std::ceil(q * static_cast<double>(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

summary measure(YALTIME_NOW_NS_T now_ns, YALTIME_TSC_TO_NS_T tsc_to_ns, double for_s, double every_s)
{
    const double begin = mono_s();
    const double half = begin + for_s / 2;
    const double end = begin + for_s;
    back_watch back;
    std::thread back_thread([&] { back.run(tsc_to_ns, end); });

    summary s;
    sampler readings{now_ns};
    std::vector<double> abs_errors_ns, widths_ns;
    double sum_ns = 0;
    for (double now = mono_s(); now < end; now = mono_s()) {
        const sample x = readings.take();
        ++s.samples;
        s.max_all_ns = std::max(s.max_all_ns, std::fabs(static_cast<double>(x.error_ns)));
        if (now >= half) {
            back.second_half.store(true, std::memory_order_relaxed);
            abs_errors_ns.push_back(std::fabs(static_cast<double>(x.error_ns)));
            widths_ns.push_back(static_cast<double>(x.width_ns));
            sum_ns += static_cast<double>(x.error_ns);
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(every_s));
    }
    back_thread.join();

    s.judged = static_cast<int>(abs_errors_ns.size());
    s.mean_ns = s.judged > 0 ? sum_ns / s.judged : 0.0;
    s.p50_ns = percentile(abs_errors_ns, 0.50);
    s.p99_ns = percentile(abs_errors_ns, 0.99);
    s.max_ns = abs_errors_ns.empty() ? 0.0 : abs_errors_ns.back();
    s.width_p50_ns = percentile(widths_ns, 0.50);
    s.width_p99_ns = percentile(widths_ns, 0.99);
    s.back_max_ns = back.max_ns;
    s.back_max_all_ns = back.max_all_ns;
    s.reading_back_max_ns = readings.back_max_ns;
    s.back_checks = back.checks;
    s.back_late = back.late;
    return s;
}

std::string format(const summary &s)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "samples=%d judged=%d p50_ns=%.0f p99_ns=%.0f max_ns=%.0f mean_ns=%+.1f max_all_ns=%.0f "
                  "width_p50_ns=%.0f width_p99_ns=%.0f back_max_ns=%lld back_max_all_ns=%lld reading_back_max_ns=%lld "
                  "back_checks=%ld back_late=%ld",
                  s.samples, s.judged, s.p50_ns, s.p99_ns, s.max_ns, s.mean_ns, s.max_all_ns, s.width_p50_ns,
                  s.width_p99_ns, s.back_max_ns, s.back_max_all_ns, s.reading_back_max_ns, s.back_checks, s.back_late);
    return text;
}

} // namespace accuracy
