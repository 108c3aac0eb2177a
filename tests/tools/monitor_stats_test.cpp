/*
 * monitor_stats_test.cpp - the monitor's summary figures and its line and
 * CSV formats.
 */
#include <gtest/gtest.h>

#include <sstream>

#include "tools/monitor_record.h"
#include "tools/monitor_stats.h"

namespace {

using monitor::error_sample;

std::vector<error_sample> record(const std::vector<double> &errors_us, double first_s = 1.0)
{
    std::vector<error_sample> samples;
    for (size_t i = 0; i < errors_us.size(); ++i)
        samples.push_back({first_s + static_cast<double>(i), errors_us[i]});
    return samples;
}

size_t count_fields(const std::string &csv_line)
{
    size_t fields = 1;
    for (char c : csv_line)
        fields += c == ',';
    return fields;
}

TEST(MonitorStats, MedianOfOddAndEvenCounts)
{
    EXPECT_DOUBLE_EQ(3.0, monitor::median({5, 1, 3}));
    EXPECT_DOUBLE_EQ(2.5, monitor::median({4, 1, 3, 2}));
    EXPECT_DOUBLE_EQ(7.0, monitor::median({7}));
    EXPECT_DOUBLE_EQ(0.0, monitor::median({}));
}

TEST(MonitorStats, PercentileIsNearestRank)
{
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i)
        hundred.push_back(i);
    EXPECT_DOUBLE_EQ(99.0, monitor::percentile(hundred, 99));
    EXPECT_DOUBLE_EQ(100.0, monitor::percentile(hundred, 100));
    EXPECT_DOUBLE_EQ(50.0, monitor::percentile(hundred, 50));
    /* Ten samples: the 99th percentile is the largest, not an interpolation. */
    EXPECT_DOUBLE_EQ(10.0, monitor::percentile({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 99));
    EXPECT_DOUBLE_EQ(4.0, monitor::percentile({4}, 99));
    EXPECT_DOUBLE_EQ(0.0, monitor::percentile({}, 99));
}

TEST(MonitorStats, SettleTimeIsTenMinutesOrHalfAShorterRun)
{
    EXPECT_DOUBLE_EQ(600.0, monitor::settle_time_s(3600));
    EXPECT_DOUBLE_EQ(600.0, monitor::settle_time_s(1200));
    EXPECT_DOUBLE_EQ(300.0, monitor::settle_time_s(600));
    EXPECT_DOUBLE_EQ(30.0, monitor::settle_time_s(60));
}

TEST(MonitorStats, SummaryCoversOnlyTheSettledHalfAndUsesAbsoluteErrors)
{
    /* 1..10 s: large errors while pulling in; 11..20 s: small, both signs. */
    const auto samples =
        record({900, -800, 700, 600, 500, 400, 300, 200, 100, 50, -1, 2, -3, 4, -5, 1, -2, 3, -4, 9});
    const monitor::error_summary s = monitor::summarise_errors(samples);
    EXPECT_DOUBLE_EQ(20.0, s.run_s);
    EXPECT_DOUBLE_EQ(10.0, s.settled_from_s);
    EXPECT_EQ(11u, s.settled_samples); /* 10 s itself counts */
    EXPECT_DOUBLE_EQ(50.0, s.max_abs_us);
    EXPECT_DOUBLE_EQ(3.0, s.median_abs_us);
    EXPECT_DOUBLE_EQ(50.0, s.p99_abs_us);
}

TEST(MonitorStats, LongRunLeavesOutTheFirstTenMinutes)
{
    std::vector<double> errors(1200, 1.0);
    errors[598] = 1000.0; /* at 599 s: left out */
    errors[599] = 2.0;    /* at 600 s: counted */
    const monitor::error_summary s = monitor::summarise_errors(record(errors));
    EXPECT_DOUBLE_EQ(600.0, s.settled_from_s);
    EXPECT_EQ(601u, s.settled_samples);
    EXPECT_DOUBLE_EQ(2.0, s.max_abs_us);
}

TEST(MonitorStats, FirstWithinAndStaysWithinFiveMicroseconds)
{
    const monitor::error_summary s = monitor::summarise_errors(record({8, -4, 7, 3, -5, 2}));
    ASSERT_TRUE(s.first_within_s.has_value());
    EXPECT_DOUBLE_EQ(2.0, *s.first_within_s);
    ASSERT_TRUE(s.stays_within_s.has_value());
    EXPECT_DOUBLE_EQ(4.0, *s.stays_within_s); /* exactly -5 is within */

    const monitor::error_summary never = monitor::summarise_errors(record({8, 9, -6}));
    EXPECT_FALSE(never.first_within_s.has_value());
    EXPECT_FALSE(never.stays_within_s.has_value());
    EXPECT_NE(std::string::npos, monitor::format_summary(never).find("first within 5 us: never"));

    const monitor::error_summary left = monitor::summarise_errors(record({1, 2, 30}));
    EXPECT_TRUE(left.first_within_s.has_value());
    EXPECT_FALSE(left.stays_within_s.has_value()); /* the last sample is out again */
}

TEST(MonitorStats, LateSamplesStayOnTheirSideOfTheBoundary)
{
    /* A sampler a few milliseconds late: 1.004 s still counts as 1 s. */
    const monitor::error_summary s = monitor::summarise_errors({{1.004, 3.0}, {2.006, 1.0}});
    EXPECT_DOUBLE_EQ(2.0, s.run_s);
    EXPECT_DOUBLE_EQ(1.0, s.settled_from_s);
    EXPECT_EQ(2u, s.settled_samples);
}

TEST(MonitorStats, EmptyRecordGivesAnEmptySummary)
{
    const monitor::error_summary s = monitor::summarise_errors({});
    EXPECT_EQ(0u, s.settled_samples);
    EXPECT_FALSE(s.first_within_s.has_value());
}

TEST(MonitorStats, SummaryTextCarriesTheFigures)
{
    const std::string text = monitor::format_summary(monitor::summarise_errors(record({10, 4, -2, 1})));
    EXPECT_NE(std::string::npos, text.find("3 samples from 2 s on (run of 4 s)")) << text;
    EXPECT_NE(std::string::npos, text.find("median 2.000 us")) << text;
    EXPECT_NE(std::string::npos, text.find("max 4.000 us")) << text;
    EXPECT_NE(std::string::npos, text.find("first within 5 us: 2 s")) << text;
    /* Below a microsecond the nanoseconds show. */
    const std::string fine = monitor::format_summary(monitor::summarise_errors(record({0.3, -0.010, 0.008, 0.9996})));
    EXPECT_NE(std::string::npos, fine.find("median 10 ns  p99 1.000 us  max 1.000 us")) << fine;
}

monitor::monitor_line line_at(double elapsed_s, int steps, bool loop_known = true)
{
    monitor::monitor_line l;
    l.elapsed_s = elapsed_s;
    l.utc = "2024-02-29 23:59:59.500000 +0";
    l.utc_s = 1709251199.5;
    l.error_us = -1.25;
    l.calibration = 2;
    l.tsc_mhz = 2994.5;
    l.steps = steps;
    l.updates = 7;
    l.loop_known = loop_known;
    l.state = 2;
    l.jitter_us = 3.5;
    l.stability_ppm = 0.25;
    l.poll_s = 17;
    return l;
}

TEST(MonitorRecord, CsvRowsHaveTheHeadersColumns)
{
    const std::string header = monitor::csv_header();
    EXPECT_EQ(0u, header.find("elapsed_s,utc,utc_s,error_us,calibration,tsc_mhz,steps,updates,state,"));
    const std::string known = monitor::csv_row(line_at(3, 1));
    const std::string unknown = monitor::csv_row(line_at(3, 1, false));
    EXPECT_EQ(count_fields(header), count_fields(known));
    EXPECT_EQ(count_fields(header), count_fields(unknown));
    EXPECT_EQ("3.000,2024-02-29 23:59:59.500000 +0,1709251199.500000,-1.250,reader,2994.500000,1,7,SYNC,3.500,"
              "0.2500,17\n",
              known);
    EXPECT_NE(std::string::npos, unknown.find(",1,7,,,,\n"));
}

TEST(MonitorRecord, NamesOfCalibrationsAndLoopStates)
{
    EXPECT_STREQ("none", monitor::calibration_name(0));
    EXPECT_STREQ("owner", monitor::calibration_name(1));
    EXPECT_STREQ("reader", monitor::calibration_name(2));
    EXPECT_STREQ("own", monitor::calibration_name(3));
    EXPECT_STREQ("?", monitor::calibration_name(4));
    EXPECT_STREQ("NSET", monitor::loop_state_name(0));
    EXPECT_STREQ("SYNC", monitor::loop_state_name(2));
    EXPECT_STREQ("SPIK", monitor::loop_state_name(3));
    EXPECT_STREQ("?", monitor::loop_state_name(-1));
}

TEST(MonitorRecord, StepsAreWhereTheCountRises)
{
    /* A reader may start with the owner's count already above 0: not a step here. */
    const std::vector<monitor::monitor_line> lines = {line_at(1, 3), line_at(2, 3), line_at(3, 4), line_at(4, 4),
                                                      line_at(5, 6)};
    EXPECT_EQ((std::vector<double>{3, 5}), monitor::step_times(lines));
    EXPECT_TRUE(monitor::step_times({}).empty());
}

TEST(MonitorRecord, ConsoleRowShowsEveryFigure)
{
    const std::string row = monitor::console_row(line_at(42, 1));
    for (const char *part : {"42", "2024-02-29 23:59:59.500000 +0", "-1.250", "reader", "2994.500000", "SYNC",
                             "3.500", "0.2500", "17"})
        EXPECT_NE(std::string::npos, row.find(part)) << part << " missing from " << row;
    EXPECT_NE(std::string::npos, monitor::console_row(line_at(1, 0, false)).find(" - "));
}

} // namespace
