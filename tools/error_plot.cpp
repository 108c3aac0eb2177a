/*
 * error_plot.cpp - an SVG plot of a clock-error record.
 */
#include "tools/error_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace monitor {

namespace {

constexpr double WIDTH_PX = 960;
constexpr double PANEL_HEIGHT_PX = 270;
constexpr double LEFT_PX = 80;   /* room for the y tick labels and axis label */
constexpr double RIGHT_PX = 30;
constexpr double TOP_PX = 50;    /* room for the title */
constexpr double GAP_PX = 90;    /* between the panels: x axis label and panel title */
constexpr double BOTTOM_PX = 60;

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

struct range {
    double lo;
    double hi;
};

/* A data range with some room, never empty. */
range padded(double lo, double hi)
{
    if (!(hi > lo)) {
        const double half = std::max(1.0, std::fabs(lo) * 0.1);
        return {lo - half, hi + half};
    }
    const double pad = (hi - lo) * 0.05;
    return {lo - pad, hi + pad};
}

/* Maps data coordinates into one panel's frame. */
struct panel_frame {
    double x0, y0, width, height; /* pixels */
    range x, y;                   /* data */

    double px(double value) const { return x0 + (value - x.lo) / (x.hi - x.lo) * width; }
    double py(double value) const { return y0 + height - (value - y.lo) / (y.hi - y.lo) * height; }
};

void draw_axes(std::string &svg, const panel_frame &f, const std::vector<double> &x_ticks,
               const std::vector<double> &y_ticks)
{
    const double x_step = x_ticks.size() > 1 ? x_ticks[1] - x_ticks[0] : 1.0;
    const double y_step = y_ticks.size() > 1 ? y_ticks[1] - y_ticks[0] : 1.0;
    for (double t : x_ticks) {
        const double x = f.px(t);
        svg += "<line class=\"grid\" x1=\"" + number(x) + "\" y1=\"" + number(f.y0) + "\" x2=\"" + number(x) +
               "\" y2=\"" + number(f.y0 + f.height) + "\"/>\n";
        svg += "<line class=\"tick\" x1=\"" + number(x) + "\" y1=\"" + number(f.y0 + f.height) + "\" x2=\"" +
               number(x) + "\" y2=\"" + number(f.y0 + f.height + 5) + "\"/>\n";
        svg += "<text class=\"xtick\" x=\"" + number(x) + "\" y=\"" + number(f.y0 + f.height + 20) + "\">" +
               tick_label(t, x_step) + "</text>\n";
    }
    for (double t : y_ticks) {
        const double y = f.py(t);
        svg += "<line class=\"grid\" x1=\"" + number(f.x0) + "\" y1=\"" + number(y) + "\" x2=\"" +
               number(f.x0 + f.width) + "\" y2=\"" + number(y) + "\"/>\n";
        svg += "<line class=\"tick\" x1=\"" + number(f.x0 - 5) + "\" y1=\"" + number(y) + "\" x2=\"" +
               number(f.x0) + "\" y2=\"" + number(y) + "\"/>\n";
        svg += "<text class=\"ytick\" x=\"" + number(f.x0 - 8) + "\" y=\"" + number(y + 4) + "\">" +
               tick_label(t, y_step) + "</text>\n";
    }
    svg += "<rect class=\"frame\" x=\"" + number(f.x0) + "\" y=\"" + number(f.y0) + "\" width=\"" +
           number(f.width) + "\" height=\"" + number(f.height) + "\"/>\n";
    svg += "<text class=\"xlabel\" x=\"" + number(f.x0 + f.width / 2) + "\" y=\"" +
           number(f.y0 + f.height + 42) + "\">time since the component started (s)</text>\n";
    const double label_x = f.x0 - 62;
    const double label_y = f.y0 + f.height / 2;
    svg += "<text class=\"ylabel\" x=\"" + number(label_x) + "\" y=\"" + number(label_y) +
           "\" transform=\"rotate(-90 " + number(label_x) + " " + number(label_y) +
           ")\">clock error (\xC2\xB5s)</text>\n";
}

void draw_panel(std::string &svg, const plot_input &input, const std::vector<error_sample> &points,
                double y0, const std::string &panel_title, bool mark_settled, int clip_id)
{
    double t_lo = std::numeric_limits<double>::infinity(), t_hi = -t_lo;
    double e_lo = 0.0, e_hi = 0.0; /* the zero line is always in view */
    for (const error_sample &s : points) {
        /* Samples are nominally whole seconds in: a last sample a few
         * milliseconds late must not add a whole tick step to the axis. */
        t_lo = std::min(t_lo, std::round(s.elapsed_s));
        t_hi = std::max(t_hi, std::round(s.elapsed_s));
        e_lo = std::min(e_lo, s.error_us);
        e_hi = std::max(e_hi, s.error_us);
    }
    if (points.empty())
        t_lo = t_hi = 0.0;
    if (mark_settled)
        t_lo = std::min(t_lo, 0.0);

    const std::vector<double> x_ticks = nice_ticks(t_lo, t_hi, 10);
    const range y_data = padded(e_lo, e_hi);
    const std::vector<double> y_ticks = nice_ticks(y_data.lo, y_data.hi, 6);
    panel_frame f{LEFT_PX, y0, WIDTH_PX - LEFT_PX - RIGHT_PX, PANEL_HEIGHT_PX,
                  {x_ticks.front(), x_ticks.back()}, {y_ticks.front(), y_ticks.back()}};

    svg += "<text class=\"panel\" x=\"" + number(f.x0) + "\" y=\"" + number(y0 - 10) + "\">" +
           xml_escape(panel_title) + "</text>\n";
    svg += "<clipPath id=\"clip" + std::to_string(clip_id) + "\"><rect x=\"" + number(f.x0) + "\" y=\"" +
           number(f.y0) + "\" width=\"" + number(f.width) + "\" height=\"" + number(f.height) +
           "\"/></clipPath>\n";
    svg += "<g clip-path=\"url(#clip" + std::to_string(clip_id) + ")\">\n";
    const double band_top = f.py(input.within_us), band_bottom = f.py(-input.within_us);
    svg += "<rect class=\"band\" x=\"" + number(f.x0) + "\" y=\"" + number(band_top) + "\" width=\"" +
           number(f.width) + "\" height=\"" + number(band_bottom - band_top) + "\"/>\n";
    svg += "</g>\n";

    draw_axes(svg, f, x_ticks, y_ticks);

    svg += "<g clip-path=\"url(#clip" + std::to_string(clip_id) + ")\">\n";
    svg += "<line class=\"zero\" x1=\"" + number(f.x0) + "\" y1=\"" + number(f.py(0)) + "\" x2=\"" +
           number(f.x0 + f.width) + "\" y2=\"" + number(f.py(0)) + "\"/>\n";
    if (mark_settled && input.settled_from_s > f.x.lo) {
        const double x = f.px(input.settled_from_s);
        svg += "<line class=\"settled\" x1=\"" + number(x) + "\" y1=\"" + number(f.y0) + "\" x2=\"" + number(x) +
               "\" y2=\"" + number(f.y0 + f.height) + "\"/>\n";
        svg += "<text class=\"note\" x=\"" + number(x + 4) + "\" y=\"" + number(f.y0 + f.height - 6) +
               "\">summary from here</text>\n";
    }
    for (double t : input.step_times_s) {
        if (t < f.x.lo || t > f.x.hi)
            continue;
        const double x = f.px(t);
        svg += "<line class=\"step\" x1=\"" + number(x) + "\" y1=\"" + number(f.y0) + "\" x2=\"" + number(x) +
               "\" y2=\"" + number(f.y0 + f.height) + "\"/>\n";
        svg += "<text class=\"steplabel\" x=\"" + number(x + 4) + "\" y=\"" + number(f.y0 + 14) + "\">step</text>\n";
    }
    if (!points.empty()) {
        svg += "<polyline class=\"error\" points=\"";
        for (const error_sample &s : points)
            svg += number(f.px(s.elapsed_s)) + "," + number(f.py(s.error_us)) + " ";
        svg += "\"/>\n";
    }
    svg += "</g>\n";
}

} // namespace

std::vector<double> nice_ticks(double lo, double hi, int target)
{
    if (!std::isfinite(lo) || !std::isfinite(hi))
        lo = hi = 0.0;
    if (hi < lo)
        std::swap(lo, hi);
    if (hi - lo < 1e-12) {
        const double half = std::max(1.0, std::fabs(lo) * 0.1);
        lo -= half;
        hi += half;
    }
    target = std::max(target, 2);
    const double rough = (hi - lo) / target;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double step = power;
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        step = m * power;
        if (step >= rough)
            break;
    }
    const double first = std::floor(lo / step + 1e-9) * step;
    const double last = std::ceil(hi / step - 1e-9) * step;
    std::vector<double> ticks;
    const long count = std::lround((last - first) / step);
    for (long i = 0; i <= std::max(count, 1L); ++i)
        ticks.push_back(first + static_cast<double>(i) * step);
    return ticks;
}

std::string tick_label(double value, double step)
{
    int decimals = 0;
    if (step > 0 && step < 1)
        decimals = static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    if (std::fabs(value) < step * 1e-6)
        value = 0.0; /* no "-0" from a tick computed a hair below zero */
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    std::string s = text;
    if (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos)
        s.erase(0, 1);
    return s;
}

std::string xml_escape(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string render_error_svg(const plot_input &input)
{
    const double height = TOP_PX + 2 * PANEL_HEIGHT_PX + GAP_PX + BOTTOM_PX;
    std::string svg;
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(WIDTH_PX) + "\" height=\"" +
           number(height) + "\" viewBox=\"0 0 " + number(WIDTH_PX) + " " + number(height) + "\">\n";
    svg += "<title>" + xml_escape(input.title) + "</title>\n";
    svg += "<style>\n"
           "text { font-family: sans-serif; font-size: 12px; fill: #222; }\n"
           ".title { font-size: 16px; font-weight: bold; }\n"
           ".panel { font-size: 13px; font-weight: bold; }\n"
           ".xtick, .xlabel { text-anchor: middle; }\n"
           ".ytick { text-anchor: end; }\n"
           ".ylabel { text-anchor: middle; }\n"
           ".frame { fill: none; stroke: #444; stroke-width: 1; }\n"
           ".grid { stroke: #ddd; stroke-width: 1; }\n"
           ".tick { stroke: #444; stroke-width: 1; }\n"
           ".zero { stroke: #888; stroke-width: 1; }\n"
           ".band { fill: #d8f0d8; }\n"
           ".error { fill: none; stroke: #1f5fbf; stroke-width: 1.5; stroke-linejoin: round; }\n"
           ".step { stroke: #c0392b; stroke-width: 1.5; stroke-dasharray: 6 4; }\n"
           ".steplabel { fill: #c0392b; }\n"
           ".settled { stroke: #777; stroke-width: 1; stroke-dasharray: 2 3; }\n"
           ".note { fill: #555; font-size: 11px; }\n"
           "</style>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text class=\"title\" x=\"" + number(LEFT_PX) + "\" y=\"24\">" + xml_escape(input.title) + "</text>\n";

    char band[256];
    std::snprintf(band, sizeof band, "Whole run: OS clock minus YALTIME clock (shaded: within \xC2\xB1%g \xC2\xB5s; dashed red: calibration steps)",
                  input.within_us);
    draw_panel(svg, input, input.samples, TOP_PX + 10, band, true, 1);

    std::vector<error_sample> settled;
    for (const error_sample &s : input.samples)
        if (std::round(s.elapsed_s) >= input.settled_from_s) /* as the summary counts them */
            settled.push_back(s);
    char close_up[128];
    std::snprintf(close_up, sizeof close_up, "Close-up from %.0f s on (the part the summary covers)",
                  input.settled_from_s);
    draw_panel(svg, input, settled, TOP_PX + 10 + PANEL_HEIGHT_PX + GAP_PX, close_up, false, 2);
    svg += "</svg>\n";
    return svg;
}

} // namespace monitor
