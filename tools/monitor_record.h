/*
 * monitor_record.h - one second of the clock monitor: the figures it reads
 * from the component, and how they are written to the terminal and to CSV.
 */
#ifndef YALTIME_TOOLS_MONITOR_RECORD_H
#define YALTIME_TOOLS_MONITOR_RECORD_H

#include <string>
#include <vector>

namespace monitor {

struct monitor_line {
    double elapsed_s = 0.0;   /* since the component started */
    std::string utc;          /* YALTIME's own text of the current time */
    double utc_s = 0.0;       /* the same, seconds since 1970 */
    double error_us = 0.0;    /* OS clock minus calibrated clock */
    int calibration = 0;      /* YALTIME_GET_CALIBRATION code */
    double tsc_mhz = 0.0;
    int steps = 0;
    int updates = 0;
    bool loop_known = false;  /* the loop-state globals were found */
    int state = 0;
    double jitter_us = 0.0;
    double stability_ppm = 0.0;
    unsigned int poll_s = 0;  /* poll interval: cycles of one second */
};

/* "none", "owner", "reader", "own" for codes 0 to 3, "?" otherwise. */
const char *calibration_name(int code);

/* "NSET", "FREQ", "SYNC", "SPIK", "?" otherwise. */
const char *loop_state_name(int state);

std::string csv_header();
std::string csv_row(const monitor_line &line);

std::string console_header();
std::string console_row(const monitor_line &line);

/* Elapsed times of the lines whose step count is above the line before. */
std::vector<double> step_times(const std::vector<monitor_line> &lines);

} // namespace monitor

#endif /* YALTIME_TOOLS_MONITOR_RECORD_H */
