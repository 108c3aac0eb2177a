// accuracy_probe.cpp - the end-to-end measurement of yaltime-probe --accuracy.
#include "tests/component/accuracy_probe.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
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

struct sample {
    double error_us;
    uint64_t width_ticks;
};

// The narrowest of the brackets; YALTIME's time of its middle minus the OS
// clock, formed from the whole seconds apart so that nothing but the
// conversion's own double rounds.
sample take_sample(YALTIME_TSC_TO_NOW_T tsc_to_now)
{
    uint64_t best_begin = 0, best_end = 0;
    struct timespec best_os {};
    for (int i = 0; i < Brackets_per_sample; ++i) {
        struct timespec os;
        const uint64_t begin = rdtsc();
        clock_gettime(CLOCK_REALTIME, &os);
        const uint64_t end = rdtsc();
        if (i == 0 || end - begin < best_end - best_begin) {
            best_begin = begin;
            best_end = end;
            best_os = os;
        }
    }
    const double converted_s = tsc_to_now(best_begin + (best_end - best_begin) / 2);
    const double error_s =
        (converted_s - static_cast<double>(best_os.tv_sec)) - static_cast<double>(best_os.tv_nsec) * 1e-9;
    return {error_s * 1e6, best_end - best_begin};
}

// One tick converted, then again 1 ms later, until `end_mono_s`.  A pair
// the scheduler kept more than 1.5 ms apart (from the tick to the second
// conversion) is not a 1 ms pair: it is counted in `late`, not judged.
struct back_watch {
    std::atomic<bool> second_half{false};
    double max_us = 0, max_all_us = 0;
    long checks = 0, late = 0;

    void run(YALTIME_TSC_TO_NOW_T tsc_to_now, double end_mono_s)
    {
        while (mono_s() < end_mono_s) {
            const double begin_s = raw_s();
            const uint64_t tick = rdtsc();
            const double first = tsc_to_now(tick);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const double back_us = (first - tsc_to_now(tick)) * 1e6;
            if (raw_s() - begin_s > 1.5e-3) {
                ++late;
                continue;
            }
            ++checks;
            max_all_us = std::max(max_all_us, back_us);
            if (second_half.load(std::memory_order_relaxed))
                max_us = std::max(max_us, back_us);
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

summary measure(YALTIME_TSC_TO_NOW_T tsc_to_now, double for_s, double every_s)
{
    const double begin = mono_s();
    const double half = begin + for_s / 2;
    const double end = begin + for_s;
    back_watch back;
    std::thread back_thread([&] { back.run(tsc_to_now, end); });

    summary s;
    std::vector<double> abs_errors_us, widths_ticks;
    double sum_us = 0;
    const double tsc_at_begin = static_cast<double>(rdtsc());
    for (double now = mono_s(); now < end; now = mono_s()) {
        const sample x = take_sample(tsc_to_now);
        ++s.samples;
        s.max_all_us = std::max(s.max_all_us, std::fabs(x.error_us));
        if (now >= half) {
            back.second_half.store(true, std::memory_order_relaxed);
            abs_errors_us.push_back(std::fabs(x.error_us));
            widths_ticks.push_back(static_cast<double>(x.width_ticks));
            sum_us += x.error_us;
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(every_s));
    }
    back_thread.join();
    const double ticks_per_ns = (static_cast<double>(rdtsc()) - tsc_at_begin) / ((mono_s() - begin) * 1e9);

    s.judged = static_cast<int>(abs_errors_us.size());
    s.mean_us = s.judged > 0 ? sum_us / s.judged : 0.0;
    s.p50_us = percentile(abs_errors_us, 0.50);
    s.p99_us = percentile(abs_errors_us, 0.99);
    s.max_us = abs_errors_us.empty() ? 0.0 : abs_errors_us.back();
    s.width_p50_ns = percentile(widths_ticks, 0.50) / ticks_per_ns;
    s.back_max_us = back.max_us;
    s.back_max_all_us = back.max_all_us;
    s.back_checks = back.checks;
    s.back_late = back.late;
    return s;
}

std::string format(const summary &s)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "samples=%d judged=%d p50_us=%.3f p99_us=%.3f max_us=%.3f mean_us=%+.3f max_all_us=%.3f "
                  "width_p50_ns=%.0f back_max_us=%.3f back_max_all_us=%.3f back_checks=%ld back_late=%ld",
                  s.samples, s.judged, s.p50_us, s.p99_us, s.max_us, s.mean_us, s.max_all_us, s.width_p50_ns,
                  s.back_max_us, s.back_max_all_us, s.back_checks, s.back_late);
    return text;
}

} // namespace accuracy
