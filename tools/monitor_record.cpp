/*
 * monitor_record.cpp - terminal and CSV forms of a monitor line.
 */
#include "tools/monitor_record.h"

#include <cstdio>

namespace monitor {

const char *calibration_name(int code)
{
    switch (code) {
    case 0: return "none";
    case 1: return "owner";
    case 2: return "reader";
    case 3: return "own";
    default: return "?";
    }
}

const char *loop_state_name(int state)
{
    switch (state) {
    case 0: return "NSET";
    case 1: return "FREQ";
    case 2: return "SYNC";
    case 3: return "SPIK";
    default: return "?";
    }
}

std::string csv_header()
{
    return "elapsed_s,utc,utc_s,error_us,calibration,tsc_mhz,steps,updates,state,jitter_us,stability_ppm,poll_s\n";
}

std::string csv_row(const monitor_line &line)
{
    char text[512];
    if (line.loop_known)
        std::snprintf(text, sizeof text, "%.3f,%s,%.6f,%.3f,%s,%.6f,%d,%d,%s,%.3f,%.4f,%u\n", line.elapsed_s,
                      line.utc.c_str(), line.utc_s, line.error_us, calibration_name(line.calibration), line.tsc_mhz,
                      line.steps, line.updates, loop_state_name(line.state), line.jitter_us, line.stability_ppm,
                      line.poll_s);
    else
        std::snprintf(text, sizeof text, "%.3f,%s,%.6f,%.3f,%s,%.6f,%d,%d,,,,\n", line.elapsed_s, line.utc.c_str(),
                      line.utc_s, line.error_us, calibration_name(line.calibration), line.tsc_mhz, line.steps,
                      line.updates);
    return text;
}

std::string console_header()
{
    return "    t/s  UTC                              error/us  calib        TSC/MHz  steps  updates  "
           "loop  jitter/us  stab/ppm  poll/s\n";
}

std::string console_row(const monitor_line &line)
{
    char loop[128] = "     -          -         -       -";
    if (line.loop_known)
        std::snprintf(loop, sizeof loop, "%s  %9.3f  %8.4f  %6u", loop_state_name(line.state), line.jitter_us,
                      line.stability_ppm, line.poll_s);
    char text[512];
    std::snprintf(text, sizeof text, "%7.0f  %-31s  %+9.3f  %-6s  %12.6f  %5d  %7d  %s\n", line.elapsed_s,
                  line.utc.c_str(), line.error_us, calibration_name(line.calibration), line.tsc_mhz, line.steps,
                  line.updates, loop);
    return text;
}

std::vector<double> step_times(const std::vector<monitor_line> &lines)
{
    std::vector<double> times;
    for (std::size_t i = 1; i < lines.size(); ++i)
        if (lines[i].steps > lines[i - 1].steps)
            times.push_back(lines[i].elapsed_s);
    return times;
}

} // namespace monitor
