/*
 * status_metrics_test.cpp - the shared clock's error from bracketed
 * readings, the kernel's view of the TSC from a fake root, the TSC check's
 * arithmetic, verdict and measurement (a disagreement put in through its
 * seam), the Prometheus
 * exposition, the atomic write that follows no link; and yaltime-status and yaltime-monitor
 * reporting them.
 */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <time.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>

#include "public/tsc.h"
#include "tests/support/emulation.h"
#include "tool_runner.h"
#include "tools/atomic_file.h"
#include "tools/clock_error.h"
#include "tools/prometheus_format.h"
#include "tools/shared_area.h"
#include "tools/tsc_check.h"
#include "tools/tsc_health.h"

namespace {

using tool_test::fake_area;
using tool_test::read_file;
using tool_test::run;
using tool_test::shm_prefix;
using tool_test::temp_dir;

const std::string status_program = YALTIME_STATUS_PROGRAM;
const std::string monitor_program = YALTIME_MONITOR_PROGRAM;
const std::string component_library = YALTIME_COMPONENT_LIBRARY;

/* --- clock error ---------------------------------------------------------- */

/* A record of 1 us per tick from 1 s: tick t is 1e9 + t * 1000 nanoseconds. */
clock_error::reading at(uint64_t before, uint64_t after, int64_t os_ns, int64_t intercept_us = 1000000,
                        double slope_us_per_tick = 1.0)
{
    clock_error::reading r;
    r.tsc_before = before;
    r.tsc_after = after;
    r.os_ns = os_ns;
    r.record_known = true;
    r.slope_us_per_tick = slope_us_per_tick;
    r.intercept_us = intercept_us;
    return r;
}

TEST(ClockError, ConvertsTheMiddleOfTheBracketDroppingTheLowestBit)
{
    EXPECT_EQ(101u, clock_error::bracket_middle(at(100, 103, 0)));
    EXPECT_EQ(UINT64_MAX - 2, clock_error::bracket_middle(at(UINT64_MAX - 3, UINT64_MAX, 0)));
    int64_t ns = 0;
    ASSERT_TRUE(clock_error::shared_clock_ns(at(100, 103, 0), &ns));
    EXPECT_EQ(1000101000, ns);
    EXPECT_FALSE(clock_error::shared_clock_ns(at(0, 2, 0, INT64_MAX / 1000 + 1), &ns)) << "beyond 2262";
}

TEST(ClockError, MedianOfTheTightReadings)
{
    struct row {
        const char *what;
        std::vector<clock_error::reading> readings;
        bool known;
        double error_ns;
        int used;
    };
    /* OS time t + e: an error of e at tick 101. */
    const int64_t t = 1000101000;
    clock_error::reading no_record = at(100, 102, t);
    no_record.record_known = false;
    clock_error::reading before_1970 = at(100, 102, t, -1000000);
    clock_error::reading nan_slope = at(100, 102, t, 1000000, NAN);
    /* 2^-11 us a tick (2.048 GHz) from 2026-12-09: tick n is today + n * 125 / 256 ns, exactly;
     * a double of seconds would show 10 ns as 0 or 238. */
    const int64_t today_us = 1796774400000000;
    const auto ten_ns_off = [&](uint64_t middle) {
        return at(middle - 1, middle + 1, today_us * 1000 + static_cast<int64_t>(middle / 256 * 125) + 10, today_us,
                  1.0 / 2048);
    };
    const std::vector<row> rows = {
        {"one reading", {at(100, 102, t + 2000)}, true, 2000, 1},
        {"median of three", {at(100, 102, t + 1000), at(100, 102, t + 5000), at(100, 102, t - 3000)}, true, 1000, 3},
        {"a wide bracket is dropped", {at(100, 102, t + 1000), at(0, 1000, t + 500000), at(100, 102, t + 3000)}, true,
         2000, 2},
        {"twice the narrowest still counts", {at(100, 102, t), at(99, 103, t + 4000)}, true, 2000, 2},
        {"a bracket running backwards is dropped", {at(102, 100, t + 9000), at(100, 102, t)}, true, 0, 1},
        {"no OS time is dropped", {at(100, 102, 0), at(100, 102, t - 1000)}, true, -1000, 1},
        {"shared clock ahead", {at(100, 102, t - 250000)}, true, -250000, 1},
        {"10 ns behind, today at tick 2^20", {ten_ns_off(uint64_t{1} << 20)}, true, 10, 1},
        {"10 ns behind, today at tick 2^40", {ten_ns_off(uint64_t{1} << 40)}, true, 10, 1},
        {"10 ns behind, today at tick 2^60", {ten_ns_off(uint64_t{1} << 60)}, true, 10, 1},
        {"nothing", {}, false, 0, 0},
        {"no record in force", {no_record, no_record}, false, 0, 0},
        {"record before 1970", {before_1970}, false, 0, 0},
        {"NaN slope", {nan_slope}, false, 0, 0},
    };
    for (const row &r : rows) {
        const clock_error::estimate e = clock_error::estimate_error(r.readings);
        EXPECT_EQ(r.known, e.known) << r.what;
        if (r.known) {
            EXPECT_NEAR(r.error_ns, e.error_s * 1e9, 0.01) << r.what;
            EXPECT_EQ(r.used, e.readings_used) << r.what;
        } else {
            EXPECT_FALSE(e.problem.empty()) << r.what;
        }
    }
    EXPECT_EQ("no record in force", clock_error::estimate_error({no_record}).problem);
}

TEST(ClockError, NanosecondsShowInTextAndJson)
{
    clock_error::estimate e;
    e.known = true;
    e.error_s = -10e-9;
    e.bracket_s = 21e-9;
    EXPECT_EQ("clock error  -0.010 us (OS clock minus YALTIME's shared clock)\n", clock_error::format_text(e));
    EXPECT_EQ(", \"clock_error_us\": -0.010, \"clock_error_bracket_us\": 0.021", clock_error::json_fields(e));
}

/* --- TSC health ------------------------------------------------------------ */

/* A fake root with any file left out when its text is null. */
std::string make_root(const temp_dir &dir, const char *clocksource, const char *cpuinfo,
                      const char *available = nullptr, const char *cmdline = nullptr)
{
    const std::string root = dir.file("root");
    const std::filesystem::path source = root + tsc_health::CLOCKSOURCE_PATH;
    std::filesystem::create_directories(source.parent_path());
    std::filesystem::create_directories(root + "/proc");
    if (clocksource)
        std::ofstream(source) << clocksource;
    if (available)
        std::ofstream(root + tsc_health::AVAILABLE_PATH) << available;
    if (cpuinfo)
        std::ofstream(root + tsc_health::CPUINFO_PATH) << cpuinfo;
    if (cmdline)
        std::ofstream(root + tsc_health::CMDLINE_PATH) << cmdline;
    return root;
}

const char *const GOOD_CPUINFO = "processor\t: 0\nvendor_id\t: GenuineIntel\n"
                                 "flags\t\t: fpu tsc rdtscp constant_tsc nonstop_tsc tsc_known_freq\n"
                                 "bugs\t\t:\n\nprocessor\t: 1\nflags\t\t: fpu\n";

struct health_row {
    const char *what;
    const char *clocksource; /* file texts, null: no file */
    const char *available;
    const char *cpuinfo;
    bool healthy;
    const char *warning_part; /* null: no warning */
    const char *text;
    const char *json;
};

const char *const UNSTABLE = "the kernel has marked the TSC unstable (tsc is not among its available clocksources)";

const std::vector<health_row> HEALTH_ROWS = {
    {"invariant TSC in use", "tsc\n", "tsc hpet acpi_pm \n", GOOD_CPUINFO, true, nullptr,
     "clocksource  tsc (tsc available, constant_tsc yes, nonstop_tsc yes)\n",
     ", \"clocksource\": \"tsc\", \"tsc_available\": true, \"constant_tsc\": true, \"nonstop_tsc\": true"},
    {"hpet, the TSC marked unstable", "hpet\n", "hpet acpi_pm\n", GOOD_CPUINFO, false, UNSTABLE,
     "clocksource  hpet (tsc unstable, constant_tsc yes, nonstop_tsc yes)\n",
     ", \"clocksource\": \"hpet\", \"tsc_available\": false, \"constant_tsc\": true, \"nonstop_tsc\": true"},
    {"virtual machine: kvm-clock in use, tsc available", "kvm-clock\n", "kvm-clock tsc acpi_pm\n",
     "flags : tsc constant_tsc\n", true, nullptr,
     "clocksource  kvm-clock (tsc available, constant_tsc yes, nonstop_tsc no)\n",
     ", \"clocksource\": \"kvm-clock\", \"tsc_available\": true, \"constant_tsc\": true, \"nonstop_tsc\": false"},
    {"unstable and no constant_tsc", "hpet", "hpet", "flags : tsc nonstop_tsc\n", false,
     "the kernel has marked the TSC unstable (tsc is not among its available clocksources), and the CPU lacks "
     "constant_tsc",
     "clocksource  hpet (tsc unstable, constant_tsc no, nonstop_tsc yes)\n",
     ", \"clocksource\": \"hpet\", \"tsc_available\": false, \"constant_tsc\": false, \"nonstop_tsc\": true"},
    {"no constant_tsc", "tsc", nullptr, "flags\t: tsc nonstop_tsc\n", false, "the CPU lacks constant_tsc",
     "clocksource  tsc (tsc available, constant_tsc no, nonstop_tsc yes)\n",
     ", \"clocksource\": \"tsc\", \"tsc_available\": true, \"constant_tsc\": false, \"nonstop_tsc\": true"},
    {"neither flag, look-alike words", "tsc", "tsc", "flags: tsc constant_tsc_x xnonstop_tsc\n", false,
     "the CPU lacks constant_tsc", "clocksource  tsc (tsc available, constant_tsc no, nonstop_tsc no)\n",
     ", \"clocksource\": \"tsc\", \"tsc_available\": true, \"constant_tsc\": false, \"nonstop_tsc\": false"},
    {"a look-alike clocksource name", "hpet", "tsc_early hpet", GOOD_CPUINFO, false, UNSTABLE,
     "clocksource  hpet (tsc unstable, constant_tsc yes, nonstop_tsc yes)\n",
     ", \"clocksource\": \"hpet\", \"tsc_available\": false, \"constant_tsc\": true, \"nonstop_tsc\": true"},
    {"no files", nullptr, nullptr, nullptr, true, nullptr,
     "clocksource  unknown (tsc availability unknown, constant_tsc unknown, nonstop_tsc unknown)\n",
     ", \"clocksource\": null, \"tsc_available\": null, \"constant_tsc\": null, \"nonstop_tsc\": null"},
    {"empty files, no flags line", "  \n", " \n", "processor : 0\nflagsx : constant_tsc\n", true, nullptr,
     "clocksource  unknown (tsc availability unknown, constant_tsc unknown, nonstop_tsc unknown)\n",
     ", \"clocksource\": null, \"tsc_available\": null, \"constant_tsc\": null, \"nonstop_tsc\": null"},
    {"hpet, nothing else known", "hpet", nullptr, nullptr, true, nullptr,
     "clocksource  hpet (tsc availability unknown, constant_tsc unknown, nonstop_tsc unknown)\n",
     ", \"clocksource\": \"hpet\", \"tsc_available\": null, \"constant_tsc\": null, \"nonstop_tsc\": null"},
};

TEST(TscHealth, ReadsTheKernelsViewFromARoot)
{
    for (const health_row &row : HEALTH_ROWS) {
        temp_dir dir;
        const tsc_health::health h = tsc_health::read_health(make_root(dir, row.clocksource, row.cpuinfo, row.available));
        EXPECT_EQ(row.healthy, tsc_health::healthy(h)) << row.what;
        const std::string warning = tsc_health::warning(h);
        if (row.warning_part == nullptr) {
            EXPECT_EQ("", warning) << row.what;
        } else {
            EXPECT_EQ(0u, warning.find(std::string("warning: ") + row.warning_part + ": ")) << row.what << ": " << warning;
            EXPECT_NE(std::string::npos, warning.find("may drift or jump across CPU frequency changes and sleep states"));
            EXPECT_EQ(warning.size() - 1, warning.find('\n')) << "one line: " << warning;
        }
        EXPECT_EQ(row.text, tsc_health::format_text(h)) << row.what;
        EXPECT_EQ(row.json, tsc_health::json_fields(h)) << row.what;
    }
}

/* --- TSC check ----------------------------------------------------------------- */

using tsc_check::verdict_kind;

TEST(TscCheck, RateFromTheHalvesOfTheSpan)
{
    struct row {
        const char *what;
        std::vector<tsc_check::rate_sample> samples; /* raw ns, tsc, bracket ticks */
        bool measured, stable, moved;
        double change_ppm;
    };
    const std::vector<row> rows = {
        {"1 GHz throughout", {{0, 0, 0}, {400000000, 400000000, 0}, {1000000000, 1000000000, 0}}, true, true, false, 0},
        {"second half 20 ppm faster", {{0, 0, 0}, {500000000, 500000000, 0}, {1000000000, 1000010000, 0}}, true,
         false, true, 20},
        {"2 ms with 100-tick brackets", {{0, 0, 100}, {1000000, 1000000, 100}, {2000000, 2000000, 100}}, true, false,
         false, 0},
        {"the TSC went back", {{0, 5000, 0}, {500000000, 1000, 0}, {1000000000, 500001000, 0}}, true, false, true, -1e6},
        {"two samples", {{0, 0, 0}, {1000000000, 1000000000, 0}}, false, false, false, 0},
    };
    for (const row &r : rows) {
        const tsc_check::rate rate = tsc_check::judge_rate(r.samples);
        EXPECT_EQ(r.measured, rate.measured) << r.what;
        EXPECT_EQ(r.stable, rate.stable) << r.what;
        EXPECT_EQ(r.moved, rate.moved) << r.what;
        EXPECT_NEAR(r.change_ppm, rate.change_ppm, 0.01) << r.what;
    }
}

TEST(TscCheck, OneVerdictFromEveryFinding)
{
    tsc_health::health invariant;
    invariant.flags_known = invariant.constant_tsc = invariant.nonstop_tsc = true;
    invariant.available_known = invariant.tsc_available = invariant.cmdline_known = true;
    tsc_health::health booted_unstable = invariant, dropped = invariant, no_constant = invariant, no_flags = invariant;
    booted_unstable.tsc_available = dropped.tsc_available = false;
    booted_unstable.unstable_by_boot_parameter = true;
    no_constant.constant_tsc = false;
    no_flags.flags_known = false;
    tsc_check::agreement agree;
    agree.cpus_allowed = agree.cpus_online = 2;
    agree.cpus = {{1, 2000, 210, 189, ""}};
    agree.tsc_hz = 1e9;
    tsc_check::judge_agreement(agree);
    tsc_check::agreement apart = agree, unresolved = agree, unmeasured = agree, pinned = agree, single = agree;
    apart.cpus = {{1, 2000, 5190, -4810, ""}};
    unresolved.cpus = {{1, 2000, 3000, 2500, ""}};
    unmeasured.cpus = {{1, 3, 0, 0, "only 3 round trips in the time allowed"}};
    pinned.cpus_allowed = single.cpus_allowed = single.cpus_online = 1;
    pinned.cpus = single.cpus = {};
    for (tsc_check::agreement *a : {&apart, &unresolved, &unmeasured, &pinned, &single})
        tsc_check::judge_agreement(*a);
    tsc_check::rate stable, moved, short_span;
    stable.measured = stable.stable = moved.measured = moved.moved = short_span.measured = true;
    moved.change_ppm = -12;
    struct row {
        const char *what;
        const tsc_health::health &h;
        const tsc_check::agreement &a;
        const tsc_check::rate &r;
        verdict_kind kind;
        const char *reason; /* a part of it */
    };
    const std::vector<row> rows = {
        {"all measured good", invariant, agree, stable, verdict_kind::fit, ""},
        {"booted with tsc=unstable", booted_unstable, agree, stable, verdict_kind::fit, ""},
        {"a rate too short to tell counts neither way", invariant, agree, short_span, verdict_kind::fit, ""},
        {"one CPU on the machine", invariant, single, stable, verdict_kind::fit, ""},
        {"dropped, not told", dropped, agree, stable, verdict_kind::unfit, "the kernel found it unstable"},
        {"no constant_tsc", no_constant, agree, stable, verdict_kind::unfit, "no invariant TSC"},
        {"CPUs apart", invariant, apart, stable, verdict_kind::unfit, "CPUs disagree by 4.810 us"},
        {"rate moved", invariant, agree, moved, verdict_kind::unfit, "the rate moved by 12.0 ppm"},
        {"flags unknown", no_flags, agree, stable, verdict_kind::unknown, "the CPU's flags are unknown"},
        {"round trip too slow", invariant, unresolved, stable, verdict_kind::unknown, "not resolved below 3.000 us"},
        {"a CPU unmeasured", invariant, unmeasured, stable, verdict_kind::unknown, "CPU 1 not measured (only 3"},
        {"pinned to one of two", invariant, pinned, stable, verdict_kind::unknown, "one CPU only"},
    };
    for (const row &r : rows) {
        const tsc_check::verdict v = tsc_check::judge(r.h, r.a, r.r);
        EXPECT_EQ(r.kind, v.kind) << r.what << ": " << v.reason;
        EXPECT_NE(std::string::npos, v.reason.find(r.reason)) << r.what << ": " << v.reason;
        EXPECT_EQ(v.kind == verdict_kind::unfit, !(tsc_health::warning(r.h) + tsc_check::warning(r.a, r.r)).empty())
            << r.what << ": a warning exactly when unfit";
    }
}

/* The real ping-pong, with the compared CPUs' readings put ahead or behind
 * through the check's seam: the offset is found to within a round trip.  An
 * emulator's TSC reads are not ordered with memory: there an offset leaves
 * the CPUs' agreement unknown, or, if the rounds happened to come in order,
 * is found as natively. */
TEST(TscCheck, MeasuresAnOffsetPutInThroughItsSeam)
{
    /* Time enough for every round however slow the machine (a sanitizer):
     * what is tested here is what the rounds find, not what they cost. */
    tsc_check::options unhurried;
    unhurried.time_limit_s = 5.0;
    const tsc_check::agreement plain = tsc_check::measure_agreement(unhurried);
    if (plain.cpus_allowed < 2)
        GTEST_SKIP() << "this process may run on one CPU only";
    const bool emulated = runs_under_emulation();
    ASSERT_TRUE(plain.comparable || emulated) << tsc_check::summary_line(plain, {});
    tsc_health::health invariant;
    invariant.flags_known = invariant.constant_tsc = true;
    for (double offset_us : {0.0, 2.0, -2.0, 5.0, -5.0, 20.0, -100.0}) { /* the limit is 1 us */
        tsc_check::options o = unhurried;
        o.compared_offset_ticks = std::llround(offset_us * 1e-6 * plain.tsc_hz);
        const tsc_check::agreement a = tsc_check::measure_agreement(o);
        const tsc_check::verdict v = tsc_check::judge(invariant, a, {});
        const std::string what = std::to_string(offset_us) + " us: " + tsc_check::summary_line(a, v);
        /* Under an emulator the readings may be out of order: then the
         * agreement is unknown; when they were not, it is measured. */
        if (emulated && v.reason.find("out of order") != std::string::npos) {
            EXPECT_EQ(verdict_kind::unknown, v.kind) << what;
            continue;
        }
        ASSERT_TRUE(a.comparable) << what;
        EXPECT_NEAR(std::fabs(offset_us) * 1e3, a.disagreement_ns, a.round_trip_ns) << what;
        EXPECT_NEAR(std::fabs(offset_us) * 1e3, a.within_ns, a.round_trip_ns) << what;
        if (std::fabs(offset_us) * 1e3 > tsc_check::DISAGREEMENT_LIMIT_NS + a.round_trip_ns) {
            EXPECT_EQ(verdict_kind::unfit, v.kind) << what; /* proven beyond the limit */
        } else if (offset_us != 0) {
            EXPECT_NE(verdict_kind::fit, v.kind) << what; /* beyond the limit, by less than it resolves */
        } else if (v.kind != verdict_kind::fit) { /* a machine too slow to resolve it (a sanitizer) */
            EXPECT_EQ(verdict_kind::unknown, v.kind) << what;
            EXPECT_NE(std::string::npos, v.reason.find("not resolved")) << what;
        }
    }
}

/* --- Prometheus text --------------------------------------------------------- */

TEST(Prometheus, ValuesReadBackExactly)
{
    for (double v : {0.0, 1.0, -1.0, 0.1, -1e-8, 4.76837158203125e-07, 2299997054.0697865, 16408.0, 1e-300, -5e-324})
        EXPECT_EQ(v, std::strtod(prometheus::format_value(v).c_str(), nullptr)) << prometheus::format_value(v);
    EXPECT_EQ("16408", prometheus::format_value(16408));
    EXPECT_EQ("NaN", prometheus::format_value(NAN));
    EXPECT_EQ("+Inf", prometheus::format_value(INFINITY));
    EXPECT_EQ("-Inf", prometheus::format_value(-INFINITY));
    EXPECT_EQ("a\\\\b\\\"c\\nd", prometheus::escape_label_value("a\\b\"c\nd"));
}

TEST(Prometheus, EachFamilyHasOneHelpAndTypeBeforeItsSamples)
{
    prometheus::exposition e;
    e.gauge("x_state", "State.", 1, {{"state", "a"}});
    e.counter("x_events_total", "Events.", 7);
    e.gauge("x_state", "State.", 0, {{"state", "b"}, {"area", "/q\""}});
    EXPECT_EQ("# HELP x_state State.\n# TYPE x_state gauge\nx_state{state=\"a\"} 1\n"
              "x_state{state=\"b\",area=\"/q\\\"\"} 0\n"
              "# HELP x_events_total Events.\n# TYPE x_events_total counter\nx_events_total 7\n",
              e.text());
}

/* name (with labels) -> value, from exposition text; HELP/TYPE lines counted apart. */
std::map<std::string, std::string> samples(const std::string &text, std::map<std::string, std::string> *types = nullptr)
{
    std::map<std::string, std::string> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("# TYPE ", 0) == 0 && types) {
            const std::size_t space = line.find(' ', 7);
            (*types)[line.substr(7, space - 7)] = line.substr(space + 1);
        }
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t space = line.rfind(' ');
        out[line.substr(0, space)] = line.substr(space + 1);
    }
    return out;
}

TEST(Prometheus, StatusMetricsCarryWhatIsKnown)
{
    prometheus::status_facts f;
    f.report.area = "/yal_time_master";
    f.report.status = "stale";
    f.report.size_bytes = 16408;
    f.report.fields_known = true;
    f.report.fields.activity = 41;
    f.report.fields.updates = 12;
    f.report.fields.stepcount = 1;
    f.report.fields.idx = 7;
    f.report.fields.valid_idx = 8;
    f.report.fields.slope_known = true;
    f.report.fields.slope_us_per_tick = 1.0 / 2500.0;
    f.status_code = status::EXIT_STALE;
    f.report.owner_known = true;
    f.report.owner_uid = 1000;
    f.report.owner_name = "alice";
    f.report.mode = "0644";
    f.error.known = true;
    f.error.error_s = -2.5e-6;
    f.health.clocksource_known = true;
    f.health.clocksource = "hpet";
    f.health.flags_known = true;
    f.health.constant_tsc = true;
    f.health.available_known = true;
    f.health.tsc_available = false;
    std::map<std::string, std::string> types;
    auto m = samples(prometheus::status_metrics(f), &types);
    EXPECT_EQ("1", m["yaltime_area_info{area=\"/yal_time_master\",owner=\"alice\"}"]);
    EXPECT_EQ("1", m["yaltime_status{status=\"stale\"}"]);
    EXPECT_EQ("0", m["yaltime_status{status=\"live\"}"]);
    EXPECT_EQ("1", m["yaltime_status_code"]);
    EXPECT_EQ("0", m["yaltime_owner_live"]);
    EXPECT_EQ("1000", m["yaltime_area_owner_uid"]);
    EXPECT_EQ("420", m["yaltime_area_mode"]);
    EXPECT_EQ("1", m["yaltime_area_trusted"]);
    EXPECT_EQ("41", m["yaltime_heartbeat_total"]);
    EXPECT_EQ("1", m["yaltime_steps_total"]);
    EXPECT_EQ("12", m["yaltime_updates_total"]);
    EXPECT_EQ("7", m["yaltime_idx"]);
    EXPECT_EQ("8", m["yaltime_valid_idx"]);
    EXPECT_DOUBLE_EQ(2.5e9, std::stod(m["yaltime_tsc_frequency_hertz"]));
    EXPECT_EQ(-2.5e-6, std::stod(m["yaltime_clock_error_seconds"]));
    EXPECT_EQ("1", m["yaltime_clocksource_info{clocksource=\"hpet\"}"]);
    EXPECT_EQ("0", m["yaltime_clocksource_tsc"]);
    EXPECT_EQ("1", m["yaltime_constant_tsc"]);
    EXPECT_EQ("0", m["yaltime_nonstop_tsc"]);
    EXPECT_EQ("0", m["yaltime_tsc_available"]);
    EXPECT_EQ("0", m["yaltime_tsc_healthy"]);
    EXPECT_EQ("counter", types["yaltime_heartbeat_total"]);
    EXPECT_EQ("gauge", types["yaltime_clock_error_seconds"]);
    for (const std::string &name : prometheus::STATUS_NAMES)
        EXPECT_TRUE(m.count("yaltime_status{status=\"" + name + "\"}")) << name;

    /* An absent area: no figures of it, and no unknown facts as numbers. */
    prometheus::status_facts absent;
    absent.report.area = "/yal_time_master";
    absent.report.status = "absent";
    absent.status_code = status::EXIT_ABSENT;
    m = samples(prometheus::status_metrics(absent));
    EXPECT_EQ("2", m["yaltime_status_code"]);
    EXPECT_EQ("1", m["yaltime_status{status=\"absent\"}"]);
    EXPECT_EQ("1", m["yaltime_tsc_healthy"]);
    for (const char *name : {"yaltime_heartbeat_total", "yaltime_clock_error_seconds", "yaltime_area_owner_uid",
                             "yaltime_tsc_frequency_hertz", "yaltime_constant_tsc", "yaltime_clocksource_tsc",
                             "yaltime_tsc_available"})
        EXPECT_FALSE(m.count(name)) << name;
}

TEST(AtomicFile, WritesAtomicallyReadableByAll)
{
    temp_dir dir;
    const std::string path = dir.file("yaltime.prom");
    EXPECT_EQ("", atomic_file::write(path, "old\n"));
    EXPECT_EQ("", atomic_file::write(path, "new\n"));
    EXPECT_EQ("new\n", read_file(path));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 07777);
    std::size_t entries = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir.file("")))
        entries += entry.path().filename() != "yaltime.prom";
    EXPECT_EQ(0u, entries) << "a temporary file was left behind";
}

/* Every way a path could turn the write elsewhere, or at something that is
 * no file: refused, and nothing outside the folder touched. */
TEST(AtomicFile, FollowsNoLinkAndWritesOnlyRegularFiles)
{
    temp_dir dir;
    const std::string elsewhere = dir.file("elsewhere");
    std::filesystem::create_directories(elsewhere);
    std::filesystem::create_directories(dir.file("out"));
    std::ofstream(elsewhere + "/victim") << "precious\n";
    std::filesystem::create_symlink(elsewhere + "/victim", dir.file("out/link.prom"));
    std::filesystem::create_symlink(elsewhere + "/none", dir.file("out/dangling.prom"));
    std::filesystem::create_directories(dir.file("out/folder.prom"));
    ASSERT_EQ(0, mkfifo(dir.file("out/fifo.prom").c_str(), 0600));
    std::filesystem::create_directory_symlink(elsewhere, dir.file("out/sub"));
    struct row {
        const char *path; /* under the test's folder */
        const char *problem;
    };
    for (const row &r : {row{"out/link.prom", "it is a symbolic link"},
                         row{"out/dangling.prom", "it is a symbolic link"},
                         row{"out/folder.prom", "it is not a regular file"},
                         row{"out/fifo.prom", "it is not a regular file"},
                         row{"out/sub/victim", "sub is a symbolic link or not a folder"},
                         row{"out/sub/new.prom", "sub is a symbolic link or not a folder"},
                         row{"out/link.prom/x.prom", "link.prom is a symbolic link or not a folder"},
                         row{"missing/yaltime.prom", "No such file or directory"},
                         row{"out/", "not a file name"},
                         row{"out/..", "not a file name"}}) {
        const std::string problem = atomic_file::write(dir.file(r.path), "x\n");
        EXPECT_NE(std::string::npos, problem.find(r.problem)) << r.path << ": " << problem;
    }
    EXPECT_EQ("precious\n", read_file(elsewhere + "/victim"));
    EXPECT_FALSE(std::filesystem::exists(elsewhere + "/none"));
    EXPECT_FALSE(std::filesystem::exists(elsewhere + "/new.prom"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("out/link.prom")));
    std::size_t entries = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir.file("out")))
        entries += entry.path().filename().string()[0] == '.';
    EXPECT_EQ(0u, entries) << "a temporary file was left behind";

    /* The tool says why and exits 4, as for any file it cannot write. */
    shm_prefix prefix;
    const auto refused = run({status_program, "--prometheus", "--output", dir.file("out/link.prom")}, {prefix.env()});
    EXPECT_EQ(status::EXIT_FAILED, refused.exit_code);
    EXPECT_NE(std::string::npos, refused.err.find("yaltime-status: refusing to write " + dir.file("out/link.prom") +
                                                  ": it is a symbolic link\n"))
        << refused.err;
    EXPECT_EQ("precious\n", read_file(elsewhere + "/victim"));
}

/* --- the tools ---------------------------------------------------------------- */

/* The test's own TSC calibration against the OS clock: the narrowest of a few
 * brackets at each end of a 200 ms span. */
struct tsc_fit {
    double slope_us_per_tick;
    int64_t intercept_us;
};

tsc_fit fit_tsc()
{
    auto bracket = [](uint64_t &tsc, double &os_us) {
        uint64_t best = UINT64_MAX;
        for (int i = 0; i < 20; ++i) {
            struct timespec ts;
            const uint64_t a = rdtsc();
            clock_gettime(CLOCK_REALTIME, &ts);
            const uint64_t b = rdtsc();
            if (b - a < best) {
                best = b - a;
                tsc = a + (b - a) / 2;
                os_us = static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) * 1e-3;
            }
        }
    };
    uint64_t t0 = 0, t1 = 0;
    double os0 = 0, os1 = 0;
    bracket(t0, os0);
    usleep(200000);
    bracket(t1, os1);
    const double slope = (os1 - os0) / static_cast<double>(t1 - t0);
    return {slope, static_cast<int64_t>(os0 - static_cast<double>(t0) * slope)};
}

TEST(ToolsStatus, MeasuresTheSharedClocksErrorInEveryFormat)
{
    shm_prefix prefix;
    fake_area area(prefix.area_name(), status::AREA_SIZE_BYTES);
    ASSERT_TRUE(area.ok());
    const tsc_fit fit = fit_tsc();
    calibration_context_t *c = area.context();
    c->activity = 41;
    c->updates = 12;
    c->stepcount = 1;
    c->idx = c->valid_idx = 3;
    /* The shared clock runs 2 ms ahead of the OS clock: the error is -2 ms.
     * The test's own fit is good to microseconds; the margin is for load. */
    c->calib_table[3] = {fit.slope_us_per_tick, fit.intercept_us + 2000};
    temp_dir dir;
    const std::string good_root = make_root(dir, "tsc\n", GOOD_CPUINFO, "tsc hpet\n");
    const std::pair<std::string, const char *> good = {tsc_health::ROOT_ENV, good_root.c_str()};

    const auto text = run({status_program, "--watch-seconds", "1.5"}, {prefix.env(), good});
    EXPECT_EQ(status::EXIT_STALE, text.exit_code) << text.out << text.err;
    const std::size_t line = text.out.find("clock error  -");
    ASSERT_NE(std::string::npos, line) << text.out;
    EXPECT_NEAR(-2000.0, std::stod(text.out.substr(line + 13)), 500.0) << text.out;
    EXPECT_NE(std::string::npos, text.out.find(" us (OS clock minus YALTIME's shared clock)\n")) << text.out;
    EXPECT_NE(std::string::npos, text.out.find("clocksource  tsc (tsc available, constant_tsc yes, nonstop_tsc yes)\n"));
    EXPECT_EQ("", text.err);

    const auto json = run({status_program, "--json", "--watch-seconds", "1.5"}, {prefix.env(), good});
    EXPECT_EQ(status::EXIT_STALE, json.exit_code);
    const std::size_t key = json.out.find("\"clock_error_us\": ");
    ASSERT_NE(std::string::npos, key) << json.out;
    EXPECT_NEAR(-2000.0, std::stod(json.out.substr(key + 18)), 500.0) << json.out;
    EXPECT_NE(std::string::npos, json.out.find("\"clocksource\": \"tsc\", \"tsc_available\": true, \"constant_tsc\": true")) << json.out;
    EXPECT_EQ(json.out.size() - 2, json.out.rfind("}\n")) << "one object: " << json.out;

    const std::string out = dir.file("yaltime.prom");
    const auto metrics = run({status_program, "--prometheus", "--watch-seconds", "1.5", "--output", out},
                             {prefix.env(), good});
    EXPECT_EQ(status::EXIT_STALE, metrics.exit_code) << metrics.err;
    EXPECT_EQ("", metrics.out) << "--output writes nothing to stdout";
    auto m = samples(read_file(out));
    EXPECT_NEAR(-2e-3, std::stod(m["yaltime_clock_error_seconds"]), 0.5e-3);
    EXPECT_EQ("1", m["yaltime_status_code"]);
    EXPECT_EQ("41", m["yaltime_heartbeat_total"]);
    EXPECT_EQ(std::to_string(getuid()), m["yaltime_area_owner_uid"]);
    struct stat st;
    ASSERT_EQ(0, stat(("/dev/shm" + prefix.area_name()).c_str(), &st));
    EXPECT_EQ(std::to_string(st.st_mode & 07777), m["yaltime_area_mode"]);
    EXPECT_EQ("1", m["yaltime_tsc_healthy"]);

    /* During the owner's initial calibration there is no record to measure. */
    c->idx = -1;
    const auto initial = run({status_program, "--watch-seconds", "1.5"}, {prefix.env(), good});
    EXPECT_NE(std::string::npos, initial.out.find("clock error  unknown: no record in force\n")) << initial.out;
}

TEST(ToolsStatus, MetricsForEveryOutcome)
{
    struct row {
        const char *what;
        std::size_t size; /* 0: no area */
        mode_t mode;      /* 0: as created */
        int exit_code;
        const char *status;
        const char *trusted; /* yaltime_area_trusted, "" when absent */
    };
    for (const row &r : {row{"absent", 0, 0, status::EXIT_ABSENT, "absent", ""},
                         row{"wrong size", 4096, 0, status::EXIT_INVALID, "invalid", "1"},
                         row{"stale", status::AREA_SIZE_BYTES, 0, status::EXIT_STALE, "stale", "1"},
                         row{"writable by others", status::AREA_SIZE_BYTES, 0666, status::EXIT_UNTRUSTED,
                             "untrusted", "0"}}) {
        shm_prefix prefix;
        std::unique_ptr<fake_area> area;
        if (r.size > 0)
            area = std::make_unique<fake_area>(prefix.area_name(), r.size);
        if (r.mode != 0) {
            ASSERT_EQ(0, chmod(("/dev/shm" + prefix.area_name()).c_str(), r.mode));
        }
        const auto out = run({status_program, "--prometheus", "--watch-seconds", "1.5"}, {prefix.env()});
        EXPECT_EQ(r.exit_code, out.exit_code) << r.what << out.err;
        auto m = samples(out.out);
        EXPECT_EQ(std::to_string(r.exit_code), m["yaltime_status_code"]) << r.what;
        EXPECT_EQ("1", m["yaltime_status{status=\"" + std::string(r.status) + "\"}"]) << r.what << out.out;
        EXPECT_EQ("0", m["yaltime_owner_live"]) << r.what;
        EXPECT_EQ(r.trusted, m["yaltime_area_trusted"]) << r.what;
        if (r.mode != 0) {
            EXPECT_EQ(std::to_string(r.mode), m["yaltime_area_mode"]) << r.what;
            EXPECT_FALSE(m.count("yaltime_heartbeat_total")) << "an untrusted area is not read";
        }
    }
    EXPECT_EQ(status::EXIT_FAILED, run({status_program, "--json", "--prometheus"}).exit_code);
    EXPECT_EQ(status::EXIT_FAILED, run({status_program, "--output"}).exit_code);
    shm_prefix prefix;
    const auto unwritable = run({status_program, "--prometheus", "--output", "/nonexistent/dir/yaltime.prom"},
                                {prefix.env()});
    EXPECT_EQ(status::EXIT_FAILED, unwritable.exit_code);
    EXPECT_NE(std::string::npos, unwritable.err.find("/nonexistent/dir")) << unwritable.err;
}

TEST(ToolsStatus, BothToolsWarnAboutAnUntrustedTsc)
{
    shm_prefix prefix;
    for (const health_row &row : HEALTH_ROWS) {
        temp_dir dir;
        const std::string root = make_root(dir, row.clocksource, row.cpuinfo, row.available);
        const std::pair<std::string, const char *> env = {tsc_health::ROOT_ENV, root.c_str()};
        const auto text = run({status_program}, {prefix.env(), env});
        EXPECT_EQ(status::EXIT_ABSENT, text.exit_code) << row.what;
        EXPECT_NE(std::string::npos, text.out.find(row.text)) << row.what << ": " << text.out;
        if (row.warning_part == nullptr)
            EXPECT_EQ("", text.err) << row.what;
        else
            EXPECT_NE(std::string::npos, text.err.find(row.warning_part)) << row.what << ": " << text.err;
        const auto json = run({status_program, "--json"}, {prefix.env(), env});
        EXPECT_NE(std::string::npos, json.out.find(std::string(row.json).substr(2) + "}")) << row.what << json.out;
    }
    /* The monitor, which starts the component, for one good and one bad case. */
    for (const health_row *row : {&HEALTH_ROWS[0], &HEALTH_ROWS[1]}) {
        temp_dir dir;
        const std::string root = make_root(dir, row->clocksource, row->cpuinfo, row->available);
        const auto r = run({monitor_program, "--library", component_library, "--local", "--seconds", "1", "--quiet"},
                           {{tsc_health::ROOT_ENV, root.c_str()}, {"VEK_PLUGIN_PATH", nullptr}});
        EXPECT_EQ(0, r.exit_code) << row->what << r.err;
        if (row->warning_part == nullptr)
            EXPECT_EQ(std::string::npos, r.err.find("warning:")) << row->what << ": " << r.err;
        else
            EXPECT_NE(std::string::npos, r.err.find(row->warning_part)) << row->what << ": " << r.err;
    }
}

/* The kernel's reasons with the check measuring this machine's CPUs: a
 * kernel told by tsc=unstable to drop an invariant TSC raises no warning.
 * Where the verdict would be "fit", a machine too slow to resolve its CPUs'
 * agreement below the limit (a sanitizer, a loaded machine) says
 * "unknown": never "unfit", and never a warning. */
TEST(ToolsStatus, TheTscVerdictWarnsOnlyWhenUnfit)
{
    struct row {
        const char *what;
        const char *clocksource, *available, *cpuinfo, *cmdline;
        const char *warning_part; /* null: no warning */
        const char *verdict;
        const char *boot_parameter; /* as JSON gives it */
    };
    const char *const TOLD = "BOOT_IMAGE=/vmlinuz ro tsc=unstable quiet\n";
    const row rows[] = {
        {"VM booted with tsc=unstable", "kvm-clock\n", "kvm-clock acpi_pm\n", GOOD_CPUINFO, TOLD, nullptr, "fit", "true"},
        {"tsc dropped, not told", "kvm-clock\n", "kvm-clock acpi_pm\n", GOOD_CPUINFO, "ro quiet\n", UNSTABLE, "unfit",
         "false"},
        {"no constant_tsc", "kvm-clock\n", "kvm-clock acpi_pm\n", "flags : tsc nonstop_tsc\n", TOLD,
         "the CPU lacks constant_tsc", "unfit", "true"},
    };
    const tsc_check::agreement here = tsc_check::measure_agreement();
    if (!here.comparable)
        GTEST_SKIP() << "this machine's CPUs: " << tsc_check::summary_line(here, {});
    shm_prefix prefix;
    fake_area area(prefix.area_name(), status::AREA_SIZE_BYTES);
    ASSERT_TRUE(area.ok());
    area.context()->activity = 41;
    for (const row &r : rows) {
        /* The verdicts this row accepts, in the form each output gives them. */
        std::vector<std::string> verdicts = {r.verdict};
        if (std::string(r.verdict) == "fit")
            verdicts.emplace_back("unknown");
        const auto any_of = [&](const std::string &haystack, const std::string &before, const std::string &after) {
            return std::any_of(verdicts.begin(), verdicts.end(), [&](const std::string &v) {
                return haystack.find(before + v + after) != std::string::npos;
            });
        };
        temp_dir dir;
        const std::string root = make_root(dir, r.clocksource, r.cpuinfo, r.available, r.cmdline);
        const std::pair<std::string, const char *> env = {tsc_health::ROOT_ENV, root.c_str()};
        const auto text = run({status_program, "--watch-seconds", "1.5"}, {prefix.env(), env});
        EXPECT_EQ(status::EXIT_STALE, text.exit_code) << r.what << text.err;
        /* Measured, or (a sanitizer, a loaded machine) not in the time the check allows itself. */
        EXPECT_TRUE(text.out.find("tsc cpus     agree within ") != std::string::npos ||
                    text.out.find("tsc cpus     not measured: ") != std::string::npos)
            << r.what << ": " << text.out;
        EXPECT_TRUE(any_of(text.out, "tsc verdict  ", "")) << r.what << text.out;
        if (r.warning_part == nullptr)
            EXPECT_EQ("", text.err) << r.what;
        else
            EXPECT_NE(std::string::npos, text.err.find(r.warning_part)) << r.what << ": " << text.err;

        shm_prefix no_area;
        const auto json = run({status_program, "--json"}, {no_area.env(), env}).out;
        EXPECT_TRUE(any_of(json, "\"tsc_verdict\": \"", "\"")) << json;
        EXPECT_NE(std::string::npos, json.find("\"tsc_unstable_boot_parameter\": " + std::string(r.boot_parameter)))
            << json;
        auto m = samples(run({status_program, "--prometheus"}, {no_area.env(), env}).out);
        EXPECT_TRUE(std::any_of(verdicts.begin(), verdicts.end(), [&](const std::string &v) {
            return m["yaltime_tsc_verdict{verdict=\"" + v + "\"}"] == "1";
        })) << r.what;
        EXPECT_TRUE(m.count("yaltime_tsc_cpus_measured")) << r.what;
        EXPECT_EQ(m["yaltime_tsc_cpus_measured"] != "0", m.count("yaltime_tsc_disagreement_seconds") == 1) << r.what;
    }
}

} // namespace
