/*
 * clock_error.cpp - the shared clock's error against the OS clock, from
 * bracketed readings.
 */
#include "tools/clock_error.h"

#include <time.h>

#include <cmath>
#include <cstdio>

#include "public/tsc.h"
#include "time/calibration.h"
#include "tools/monitor_stats.h"

namespace clock_error {

namespace {

double os_clock_s()
{
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0)
        return 0.0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string number(const char *format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

struct usable_reading {
    double error_s;
    uint64_t width_ticks;
    double slope_us_per_tick;
};

} // namespace

uint64_t bracket_middle(const reading &r)
{
    return r.tsc_before + ((r.tsc_after - r.tsc_before) >> 1);
}

double shared_clock_s(const reading &r)
{
    return (static_cast<double>(bracket_middle(r)) * r.slope_us_per_tick + static_cast<double>(r.intercept_us)) *
           1e-6;
}

estimate estimate_error(const std::vector<reading> &readings)
{
    estimate e;
    std::vector<usable_reading> usable;
    for (const reading &r : readings) {
        if (!r.record_known || r.tsc_after < r.tsc_before || !(r.os_s > 0.0))
            continue;
        const double shared_s = shared_clock_s(r);
        const double error_s = r.os_s - shared_s;
        if (!(shared_s > 0.0) || !std::isfinite(error_s))
            continue;
        usable.push_back({error_s, r.tsc_after - r.tsc_before, r.slope_us_per_tick});
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
            tight.push_back(u.error_s);
    e.known = true;
    e.error_s = monitor::median(tight);
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
        r.os_s = os_clock_s();
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
