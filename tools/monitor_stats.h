/*
 * monitor_stats.h - summary figures of a clock-error record.
 *
 * The monitor samples the clock error (OS clock minus YALTIME's clock) once a
 * second.  Its summary leaves out the start, while the loop filter is still
 * pulling the clock in: only samples from ten minutes on count, or from half
 * the run on for a run shorter than twenty minutes.  From those it gives the
 * median, the 99th percentile (nearest rank) and the largest absolute error,
 * and from the whole record the time at which the error first came within
 * 5 microseconds and the time from which it stayed there.  Samples are
 * taken once a second, so their elapsed times count to the nearest second
 * when they are sorted into the settled part.
 *
 * Plain functions over plain values: nothing here needs the component.
 */
#ifndef YALTIME_TOOLS_MONITOR_STATS_H
#define YALTIME_TOOLS_MONITOR_STATS_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace monitor {

/* Samples before this much elapsed time (or half the run) are not summarised. */
constexpr double SETTLE_S = 600.0;
/* "Close" for the time-to-converge figures. */
constexpr double WITHIN_US = 5.0;

struct error_sample {
    double elapsed_s; /* since the component started */
    double error_us;  /* OS clock minus calibrated clock */
};

struct error_summary {
    double run_s = 0.0;          /* elapsed time of the last sample, whole seconds */
    double settled_from_s = 0.0; /* samples at or after this time are summarised */
    std::size_t settled_samples = 0;
    double median_abs_us = 0.0;
    double p99_abs_us = 0.0;
    double max_abs_us = 0.0;
    std::optional<double> first_within_s; /* first sample with |error| <= WITHIN_US */
    std::optional<double> stays_within_s; /* every sample from here on is within */
};

/* min(SETTLE_S, run_s / 2). */
double settle_time_s(double run_s);

/* Median of the values (mean of the middle two for an even count); 0 if empty. */
double median(std::vector<double> values);

/* Nearest-rank percentile (0 < percent <= 100) of the values; 0 if empty. */
double percentile(std::vector<double> values, double percent);

error_summary summarise_errors(const std::vector<error_sample> &samples, double within_us = WITHIN_US);

/* An absolute error as the summary gives it: "12 ns" below a microsecond,
 * where the readings' nanoseconds matter, else "1.250 us". */
std::string format_error(double abs_us);

/* The summary as the monitor prints it at exit, several lines. */
std::string format_summary(const error_summary &summary, double within_us = WITHIN_US);

} // namespace monitor

#endif /* YALTIME_TOOLS_MONITOR_STATS_H */
