/*
 * monitor_run_test.cpp - yaltime-monitor run for real: one short run as the
 * owner of the shared area, with its CSV and SVG, then yaltime-status on the
 * area it leaves behind; and its refusals of bad usage.
 */
#include <gtest/gtest.h>

#include <sstream>

#include "tool_runner.h"
#include "tools/shared_area.h"

namespace {

using tool_test::read_file;
using tool_test::run;
using tool_test::shm_prefix;
using tool_test::temp_dir;

const std::string monitor_program = YALTIME_MONITOR_PROGRAM;
const std::string status_program = YALTIME_STATUS_PROGRAM;
const std::string component_library = YALTIME_COMPONENT_LIBRARY;

// The number yaltime-status prints after `name` at the start of a line; -1 if none.
long status_field(const std::string &out, const std::string &name)
{
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string first;
        long value = -1;
        if (words >> first && first == name && words >> value)
            return value;
    }
    return -1;
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    return parts;
}

TEST(ToolsMonitor, ShortOwnerRunWritesCsvSvgAndLeavesAStaleArea)
{
    shm_prefix prefix;
    temp_dir dir;
    const std::string csv = dir.file("m.csv"), svg = dir.file("m.svg");
    const auto r = run({monitor_program, "--library", component_library, "--master", "--seconds", "2", "--csv", csv,
                        "--svg", svg},
                       {prefix.env(), {"VEK_PLUGIN_PATH", nullptr}});
    ASSERT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("as owner of the shared calibration")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("summary: 2 samples from 1 s on (run of 2 s)")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("calibration owner")) << r.out;

    const std::vector<std::string> lines = split(read_file(csv), '\n');
    ASSERT_EQ(3u, lines.size()) << read_file(csv);
    const std::vector<std::string> header = split(lines[0], ',');
    EXPECT_EQ((std::vector<std::string>{"elapsed_s", "utc", "utc_s", "error_us", "calibration", "tsc_mhz", "steps",
                                        "updates", "state", "jitter_us", "stability_ppm", "poll_s"}),
              header);
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> row = split(lines[i], ',');
        ASSERT_EQ(header.size(), row.size()) << lines[i];
        EXPECT_NEAR(static_cast<double>(i), std::stod(row[0]), 0.5) << lines[i];
        EXPECT_EQ(" +0", row[1].substr(row[1].size() - 3)) << lines[i];
        EXPECT_GT(std::stod(row[2]), 1.5e9) << lines[i]; /* after 2017 */
        EXPECT_EQ("owner", row[4]);
        EXPECT_GT(std::stod(row[5]), 1.0) << "TSC MHz in " << lines[i];
        EXPECT_EQ("0", row[6]) << "no step before the first poll, 16 s in";
        EXPECT_EQ("NSET", row[8]);
        EXPECT_EQ("16", row[11]);
    }

    const std::string plot = read_file(svg);
    EXPECT_NE(std::string::npos, plot.find("<svg xmlns=\"http://www.w3.org/2000/svg\""));
    EXPECT_NE(std::string::npos, plot.find("<polyline class=\"error\""));
    EXPECT_NE(std::string::npos, plot.find("clock error (\xC2\xB5s)"));
    EXPECT_NE(std::string::npos, plot.find("</svg>"));

    /* The owner is gone; its area stays, calibrated, with a still heartbeat. */
    const auto s = run({status_program, "--watch-seconds", "1.5"}, {prefix.env()});
    EXPECT_EQ(status::EXIT_STALE, s.exit_code) << s.out << s.err;
    // A fresh area's first record is record 0, then one of the discipline's a cycle.
    EXPECT_EQ(status_field(s.out, "idx"), status_field(s.out, "updates")) << s.out;
    EXPECT_NE(std::string::npos, s.out.find(" MHz\n")) << s.out;
}

TEST(ToolsMonitor, RefusesBadUsageAndAMissingLibrary)
{
    EXPECT_EQ(2, run({monitor_program, "--seconds", "0"}).exit_code);
    EXPECT_EQ(2, run({monitor_program, "--seconds", "x"}).exit_code);
    EXPECT_EQ(2, run({monitor_program, "--master", "--local"}).exit_code);
    EXPECT_EQ(2, run({monitor_program, "--frobnicate"}).exit_code);
    const auto missing = run({monitor_program, "--library", "/nonexistent/lib-vek-yaltime.so", "--seconds", "1"});
    EXPECT_EQ(1, missing.exit_code);
    EXPECT_NE(std::string::npos, missing.err.find("/nonexistent/lib-vek-yaltime.so")) << missing.err;
}

} // namespace
