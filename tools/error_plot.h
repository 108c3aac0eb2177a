/*
 * error_plot.h - an SVG plot of a clock-error record.
 *
 * Two panels, one above the other: the whole run, and a close-up of the part
 * the summary covers (from the settle time on), where the error is small
 * enough to be lost at the whole run's scale.  Each has axes with ticks and
 * labels in seconds and microseconds, a zero line, the +-5 us band shaded,
 * and the calibration steps marked by dashed vertical lines.
 *
 * A plain function from numbers to text; nothing here needs the component.
 */
#ifndef YALTIME_TOOLS_ERROR_PLOT_H
#define YALTIME_TOOLS_ERROR_PLOT_H

#include <string>
#include <vector>

#include "tools/monitor_stats.h"

namespace monitor {

struct plot_input {
    std::vector<error_sample> samples;
    std::vector<double> step_times_s; /* elapsed times at which a step was seen */
    double settled_from_s = 0.0;      /* start of the close-up */
    double within_us = WITHIN_US;     /* half-height of the shaded band */
    std::string title;
};

/*
 * Tick values covering [lo, hi]: multiples of a step of 1, 2 or 5 times a
 * power of ten, chosen to give about `target` ticks; the first tick is at or
 * below lo and the last at or above hi.  Two ticks at least.
 */
std::vector<double> nice_ticks(double lo, double hi, int target);

/* A tick label: as many decimals as the tick step needs, no "-0". */
std::string tick_label(double value, double step);

/* Escapes &, <, >, " and ' for XML text and attributes. */
std::string xml_escape(const std::string &text);

/* The whole SVG document. */
std::string render_error_svg(const plot_input &input);

} // namespace monitor

#endif /* YALTIME_TOOLS_ERROR_PLOT_H */
