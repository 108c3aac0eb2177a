/*
 * monitor_stats.cpp - summary figures of a clock-error record.
 */
#include "tools/monitor_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace monitor {

double settle_time_s(double run_s) { return std::min(SETTLE_S, run_s / 2.0); }

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    if (n % 2 == 1)
        return values[n / 2];
    return (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

double percentile(std::vector<double> values, double percent)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(percent / 100.0 * static_cast<double>(values.size()));
    std::size_t index = rank < 1.0 ? 0 : static_cast<std::size_t>(rank) - 1;
    index = std::min(index, values.size() - 1);
    return values[index];
}

error_summary summarise_errors(const std::vector<error_sample> &samples, double within_us)
{
    error_summary summary;
    if (samples.empty())
        return summary;
    summary.run_s = std::round(samples.back().elapsed_s);
    summary.settled_from_s = settle_time_s(summary.run_s);

    /* Samples are nominally a whole number of seconds in; a sampler a few
     * milliseconds late must not move one across the boundary. */
    std::vector<double> settled_abs_us;
    for (const error_sample &s : samples)
        if (std::round(s.elapsed_s) >= summary.settled_from_s)
            settled_abs_us.push_back(std::fabs(s.error_us));
    summary.settled_samples = settled_abs_us.size();
    if (!settled_abs_us.empty()) {
        summary.median_abs_us = median(settled_abs_us);
        summary.p99_abs_us = percentile(settled_abs_us, 99.0);
        summary.max_abs_us = *std::max_element(settled_abs_us.begin(), settled_abs_us.end());
    }

    for (const error_sample &s : samples) {
        const bool within = std::fabs(s.error_us) <= within_us;
        if (within && !summary.first_within_s)
            summary.first_within_s = s.elapsed_s;
        if (!within)
            summary.stays_within_s.reset();
        else if (!summary.stays_within_s)
            summary.stays_within_s = s.elapsed_s;
    }
    return summary;
}

std::string format_error(double abs_us)
{
    char text[64];
    if (abs_us * 1000.0 < 999.5) /* what would print as 1000 ns prints as 1.000 us */
        std::snprintf(text, sizeof text, "%.0f ns", abs_us * 1000.0);
    else
        std::snprintf(text, sizeof text, "%.3f us", abs_us);
    return text;
}

static std::string seconds_or_never(const std::optional<double> &s)
{
    if (!s)
        return "never";
    char text[64];
    std::snprintf(text, sizeof text, "%.0f s", *s);
    return text;
}

std::string format_summary(const error_summary &summary, double within_us)
{
    char text[512];
    std::string out;
    std::snprintf(text, sizeof text, "summary: %zu samples from %.0f s on (run of %.0f s)\n",
                  summary.settled_samples, summary.settled_from_s, summary.run_s);
    out += text;
    std::snprintf(text, sizeof text, "  |clock error|  median %s  p99 %s  max %s\n",
                  format_error(summary.median_abs_us).c_str(), format_error(summary.p99_abs_us).c_str(),
                  format_error(summary.max_abs_us).c_str());
    out += text;
    std::snprintf(text, sizeof text, "  first within %g us: %s;  within %g us from then on: %s\n", within_us,
                  seconds_or_never(summary.first_within_s).c_str(), within_us,
                  seconds_or_never(summary.stays_within_s).c_str());
    out += text;
    return out;
}

} // namespace monitor
