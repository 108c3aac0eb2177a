/*
 * error_plot_test.cpp - the SVG plot: tick choice, labels, escaping, and
 * that the drawing puts every sample and step inside its panel.
 */
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <regex>
#include <sstream>

#include "tools/error_plot.h"

namespace {

void expect_nice(const std::vector<double> &ticks, double lo, double hi)
{
    ASSERT_GE(ticks.size(), 2u);
    EXPECT_LE(ticks.front(), lo);
    EXPECT_GE(ticks.back(), hi);
    const double step = ticks[1] - ticks[0];
    for (size_t i = 1; i < ticks.size(); ++i)
        EXPECT_NEAR(step, ticks[i] - ticks[i - 1], step * 1e-9);
    const double mantissa = step / std::pow(10.0, std::floor(std::log10(step)));
    EXPECT_TRUE(std::fabs(mantissa - 1) < 1e-9 || std::fabs(mantissa - 2) < 1e-9 || std::fabs(mantissa - 5) < 1e-9)
        << "step " << step;
}

TEST(ErrorPlot, TicksAreRoundStepsCoveringTheRange)
{
    expect_nice(monitor::nice_ticks(0, 22, 10), 0, 22);
    expect_nice(monitor::nice_ticks(-7.87, 0.4, 6), -7.87, 0.4);
    expect_nice(monitor::nice_ticks(1, 600, 10), 1, 600);
    expect_nice(monitor::nice_ticks(-0.003, 0.0021, 6), -0.003, 0.0021);
    EXPECT_EQ((std::vector<double>{0, 5, 10, 15, 20, 25}), monitor::nice_ticks(0, 22, 10));
}

TEST(ErrorPlot, TicksOfAnEmptyOrBackwardRangeStillSpanSomething)
{
    const std::vector<double> flat = monitor::nice_ticks(3, 3, 6);
    expect_nice(flat, 3, 3);
    EXPECT_LT(flat.front(), flat.back());
    expect_nice(monitor::nice_ticks(10, -10, 6), -10, 10);
    expect_nice(monitor::nice_ticks(NAN, 1, 6), 0, 0);
}

TEST(ErrorPlot, TickLabelsHaveTheDecimalsTheStepNeeds)
{
    EXPECT_EQ("10", monitor::tick_label(10, 5));
    EXPECT_EQ("2.5", monitor::tick_label(2.5, 0.5));
    EXPECT_EQ("0.25", monitor::tick_label(0.25, 0.05));
    EXPECT_EQ("-200", monitor::tick_label(-200, 100));
    EXPECT_EQ("0", monitor::tick_label(-1e-12, 2));
    EXPECT_EQ("0.0", monitor::tick_label(-1e-12, 0.2));
}

TEST(ErrorPlot, XmlEscapeCoversMarkupCharacters)
{
    EXPECT_EQ("a &lt;b&gt; &amp; &quot;c&quot; &apos;d&apos;", monitor::xml_escape("a <b> & \"c\" 'd'"));
}

struct point {
    double x, y;
};

std::vector<std::vector<point>> polylines(const std::string &svg)
{
    std::vector<std::vector<point>> lines;
    const std::regex polyline("<polyline class=\"error\" points=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), polyline); it != std::sregex_iterator(); ++it) {
        std::vector<point> points;
        std::istringstream in((*it)[1].str());
        std::string pair;
        while (in >> pair) {
            const size_t comma = pair.find(',');
            points.push_back({std::stod(pair.substr(0, comma)), std::stod(pair.substr(comma + 1))});
        }
        lines.push_back(points);
    }
    return lines;
}

monitor::plot_input sample_plot()
{
    monitor::plot_input input;
    for (int t = 1; t <= 40; ++t) {
        double error = t < 16 ? -0.5 * t : (t == 16 ? -300.0 : 0.1 * (t % 5) - 0.2);
        input.samples.push_back({static_cast<double>(t), error});
    }
    input.step_times_s = {17};
    input.settled_from_s = 20;
    input.title = "run <1> & more";
    return input;
}

TEST(ErrorPlot, DrawsTheWholeRunAndTheCloseUpInsideTheirFrames)
{
    const std::string svg = monitor::render_error_svg(sample_plot());
    EXPECT_EQ(0u, svg.find("<?xml"));
    EXPECT_NE(std::string::npos, svg.find("<svg xmlns=\"http://www.w3.org/2000/svg\""));
    EXPECT_NE(std::string::npos, svg.rfind("</svg>"));
    EXPECT_NE(std::string::npos, svg.find("<title>run &lt;1&gt; &amp; more</title>"));
    EXPECT_EQ(std::string::npos, svg.find("run <1>"));

    const auto lines = polylines(svg);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(40u, lines[0].size());
    EXPECT_EQ(21u, lines[1].size()); /* 20 s to 40 s */

    /* Frames: "<rect class="frame" x= y= width= height=" in panel order. */
    const std::regex frame("<rect class=\"frame\" x=\"([0-9.]+)\" y=\"([0-9.]+)\" width=\"([0-9.]+)\" "
                           "height=\"([0-9.]+)\"");
    std::vector<std::array<double, 4>> frames;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), frame); it != std::sregex_iterator(); ++it)
        frames.push_back({std::stod((*it)[1]), std::stod((*it)[2]), std::stod((*it)[3]), std::stod((*it)[4])});
    ASSERT_EQ(2u, frames.size());
    for (size_t panel = 0; panel < 2; ++panel) {
        const auto &f = frames[panel];
        for (const point &p : lines[panel]) {
            EXPECT_GE(p.x, f[0] - 0.05);
            EXPECT_LE(p.x, f[0] + f[2] + 0.05);
            EXPECT_GE(p.y, f[1] - 0.05);
            EXPECT_LE(p.y, f[1] + f[3] + 0.05);
        }
        /* Later samples lie further right. */
        for (size_t i = 1; i < lines[panel].size(); ++i)
            EXPECT_GT(lines[panel][i].x, lines[panel][i - 1].x);
    }
    /* The -300 us spike is the lowest point of the whole run. */
    double lowest_y = 0;
    for (const point &p : lines[0])
        lowest_y = std::max(lowest_y, p.y);
    EXPECT_DOUBLE_EQ(lowest_y, lines[0][15].y);
}

TEST(ErrorPlot, MarksStepsAxesAndUnits)
{
    const std::string svg = monitor::render_error_svg(sample_plot());
    /* The step at 17 s lies in the whole run only, not in the close-up from 20 s. */
    size_t steps = 0;
    for (size_t at = svg.find("class=\"step\""); at != std::string::npos; at = svg.find("class=\"step\"", at + 1))
        ++steps;
    EXPECT_EQ(1u, steps);
    EXPECT_NE(std::string::npos, svg.find(">step</text>"));
    EXPECT_NE(std::string::npos, svg.find("clock error (\xC2\xB5s)"));
    EXPECT_NE(std::string::npos, svg.find("time since the component started (s)"));
    EXPECT_NE(std::string::npos, svg.find("class=\"xtick\""));
    EXPECT_NE(std::string::npos, svg.find(">-300</text>")); /* a y tick at the spike's scale */
    EXPECT_NE(std::string::npos, svg.find("summary from here"));
}

TEST(ErrorPlot, ALateLastSampleDoesNotStretchTheTimeAxis)
{
    monitor::plot_input input;
    for (int t = 1; t <= 600; ++t)
        input.samples.push_back({t + 0.13, 1.0});
    const std::string svg = monitor::render_error_svg(input);
    EXPECT_NE(std::string::npos, svg.find(">600</text>"));
    EXPECT_EQ(std::string::npos, svg.find(">700</text>"));
}

TEST(ErrorPlot, AnEmptyRecordStillGivesAValidDocument)
{
    monitor::plot_input input;
    input.title = "nothing";
    const std::string svg = monitor::render_error_svg(input);
    EXPECT_NE(std::string::npos, svg.find("</svg>"));
    EXPECT_TRUE(polylines(svg).empty());
    EXPECT_EQ(std::string::npos, svg.find("nan"));
    EXPECT_EQ(std::string::npos, svg.find("inf"));
}

} // namespace
