/*
 * clock_error.cpp - the shared clock's error against the OS clock, from
 * bracketed readings.
 */
#include "tools/clock_error.h"

#include <time.h>

#include <cstdio>

#include "public/tsc.h"
#include "time/calibration.h"
#include "tools/monitor_stats.h"

namespace clock_error {

namespace {

std::string number(const char *format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

struct usable_reading {
    double error_ns; /* whole nanoseconds: exact in a double up to 2^53 (104 days) */
    uint64_t width_ticks;
    double slope_us_per_tick;
};

} // namespace

int64_t os_clock_ns()
{
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0)
        return 0;
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + static_cast<int64_t>(ts.tv_nsec);
}

uint64_t bracket_middle(const reading &r)
{
    return r.tsc_before + ((r.tsc_after - r.tsc_before) >> 1);
}

bool shared_clock_ns(const reading &r, int64_t *ns)
{
    const long double exact_ns = calib::line_tsc_to_ns({r.slope_us_per_tick, r.intercept_us}, bracket_middle(r));
    /* Checked before rounding, which has no answer for NaN or for a value
     * beyond the int64_t range. */
    if (!(exact_ns > 0.0L && exact_ns < 9223372036854775807.0L))
        return false;
    *ns = calib::round_long_double(exact_ns);
    return true;
}

estimate estimate_error(const std::vector<reading> &readings)
{
    estimate e;
    std::vector<usable_reading> usable;
    for (const reading &r : readings) {
        int64_t shared_ns = 0;
        if (!r.record_known || r.tsc_after < r.tsc_before || r.os_ns <= 0 || !shared_clock_ns(r, &shared_ns))
            continue;
        /* Both positive int64_t: the difference cannot overflow. */
        usable.push_back({static_cast<double>(r.os_ns - shared_ns), r.tsc_after - r.tsc_before, r.slope_us_per_tick});
    }
    if (usable.empty()) {
        bool any_record = false;
        for (const reading &r : readings)
            any_record = any_record || r.record_known;
        e.problem = any_record ? "the record in force gives no usable time" : "no record in force";
        return e;
    }
    const usable_reading *narrowest = &usable.front();
    for (const usable_reading &u : usable)
        if (u.width_ticks < narrowest->width_ticks)
            narrowest = &u;
    std::vector<double> tight;
    for (const usable_reading &u : usable)
        if (u.width_ticks - narrowest->width_ticks <= narrowest->width_ticks)
            tight.push_back(u.error_ns);
    e.known = true;
    e.error_s = monitor::median(tight) * 1e-9;
    e.bracket_s = static_cast<double>(narrowest->width_ticks) * narrowest->slope_us_per_tick * 1e-6;
    e.readings_used = static_cast<int>(tight.size());
    return e;
}

std::vector<reading> take_readings(const void *area, int count)
{
    const auto *context = static_cast<const calibration_context_t *>(area);
    std::vector<reading> readings;
    readings.reserve(static_cast<std::size_t>(count > 0 ? count : 0));
    for (int i = 0; i < count; ++i) {
        reading r;
        r.tsc_before = rdtsc();
        r.os_ns = os_clock_ns();
        r.tsc_after = rdtsc();
        /* The record in force after the bracket, as a reader converting
         * its middle would use it: idx once, then that record. */
        const int32_t idx = calib::load(context->idx, std::memory_order_acquire);
        if (idx >= 0 && idx < CALIB_TABLE_SIZE) {
            r.record_known = true;
            r.slope_us_per_tick = calib::load(context->calib_table[idx].slope, std::memory_order_acquire);
            r.intercept_us = calib::load(context->calib_table[idx].intercept, std::memory_order_acquire);
        }
        readings.push_back(r);
    }
    return readings;
}

std::string format_text(const estimate &e)
{
    if (!e.known)
        return "clock error  unknown: " + e.problem + "\n";
    return "clock error  " + number("%+.3f", e.error_s * 1e6) + " us (OS clock minus YALTIME's shared clock)\n";
}

std::string json_fields(const estimate &e)
{
    if (!e.known)
        return ", \"clock_error_us\": null";
    return ", \"clock_error_us\": " + number("%.3f", e.error_s * 1e6) + ", \"clock_error_bracket_us\": " +
           number("%.3f", e.bracket_s * 1e6);
}

} // namespace clock_error
