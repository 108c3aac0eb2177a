// The clock-shift preload library's wandering rate, seen by real processes:
// two processes that share a walk's file see one OS clock at every instant,
// whatever their own settings say; a walk of another seed is another clock;
// within a process the monotonic clock never goes back, the walk moves
// continuously, and real-time minus monotonic time stays as it was.  Each
// process reports its clocks against CLOCK_MONOTONIC_RAW, which the library
// leaves alone: the walk is (monotonic - raw) up to the machine's own slow
// drift, and a walk of 1000 ppm every 50 ms dwarfs that drift.
//
// A component under the library's slews, as a time daemon makes them, is
// measured end to end by yaltime-probe --accuracy.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/clock_shift_file.h"

namespace {

const std::string Readings = YALTIME_CLOCK_READINGS_PATH;
const std::string Preload = YALTIME_CLOCK_SHIFT_PRELOAD;
const std::string Probe = YALTIME_PROBE_PATH;
const std::string Library = YALTIME_LIBRARY_PATH;

constexpr int64_t US = 1000;
// The walks here (seeds 7 and 8) change rate by under 3000 ppm a step.
constexpr double Max_rate_change_ppm = 5000;

// One line whose raw readings lie close together (the process was not preempted inside it).
// Its walk (mono - raw) reads late by up to its bracket (raw2 - raw): mono is read inside it.
struct clocks {
    int64_t raw, walk_ns, real_minus_mono, bracket_ns;
};

struct report {
    std::vector<clocks> lines;
    long mono_reads = 0, mono_back = 0;
};

report report_of(child_process &p)
{
    report r;
    for (const std::string &line : p.lines()) {
        const auto f = fields_of(line);
        if (line.rfind("clocks ", 0) == 0) {
            const int64_t raw = std::stoll(f.at("raw")), mono = std::stoll(f.at("mono"));
            const int64_t bracket_ns = std::stoll(f.at("raw2")) - raw;
            if (bracket_ns < 20 * US)
                r.lines.push_back({raw, mono - raw, std::stoll(f.at("real")) - mono, bracket_ns});
        } else if (line.rfind("end ", 0) == 0) {
            r.mono_reads = std::stol(f.at("mono_reads"));
            r.mono_back = std::stol(f.at("mono_back"));
        }
    }
    return r;
}

// The walk of `r` at raw time `raw`, interpolated between its lines (NaN outside them); how
// late it may read, and how far a change of rate between the lines may take it off.
struct walk_estimate {
    double walk_ns = NAN, late_ns = 0, kink_ns = 0;
};

walk_estimate walk_at(const report &r, int64_t raw)
{
    for (size_t i = 1; i < r.lines.size(); ++i) {
        const clocks &a = r.lines[i - 1], &b = r.lines[i];
        if (a.raw <= raw && raw <= b.raw && b.raw - a.raw < 20 * US * 1000) {
            const double gap_ns = static_cast<double>(b.raw - a.raw);
            return {static_cast<double>(a.walk_ns) +
                        static_cast<double>(b.walk_ns - a.walk_ns) * static_cast<double>(raw - a.raw) / gap_ns,
                    static_cast<double>(std::max(a.bracket_ns, b.bracket_ns)),
                    Max_rate_change_ppm * 1e-6 * gap_ns / 4};
        }
    }
    return {};
}

// From b's walk to a's at b's instants: the distance, and what the readings allow between one
// walk's two measurements (each late by up to its bracket, a's interpolated; 1 us for rounding).
struct distance {
    double ns, allowed_ns;
};

std::vector<distance> distances(const report &a, const report &b)
{
    std::vector<distance> out;
    for (const clocks &c : b.lines) {
        const walk_estimate w = walk_at(a, c.raw);
        if (!std::isnan(w.walk_ns))
            out.push_back({std::fabs(w.walk_ns - static_cast<double>(c.walk_ns)),
                           std::max(w.late_ns, static_cast<double>(c.bracket_ns)) + w.kink_ns + 1.0 * US});
    }
    return out;
}

struct wander_file {
    std::string path;
    explicit wander_file(const std::string &name) : path("/tmp/yt_wander_" + std::to_string(getpid()) + name)
    {
        unlink(path.c_str());
    }
    ~wander_file() { unlink(path.c_str()); }
};

std::map<std::string, std::string> walk_env(const wander_file &f, const char *seed, const char *ppm)
{
    return preloaded_env({{"YALTIME_TEST_CLOCK_WANDER_FILE", f.path},
                          {"YALTIME_TEST_CLOCK_WANDER_SEED", seed},
                          {"YALTIME_TEST_CLOCK_WANDER_PPM", ppm},
                          {"YALTIME_TEST_CLOCK_WANDER_STEP_S", "0.05"}},
                         Preload);
}

TEST(ClockWander, ProcessesSharingAWalkSeeOneClockThatMovesContinuously)
{
    wander_file shared("_shared"), other("_other");
    child_process first({Readings, "2.0", "5"}, walk_env(shared, "7", "1000"));
    child_process other_seed({Readings, "2.0", "5"}, walk_env(other, "8", "1000"));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    // Settings of its own that the shared file overrides.
    child_process second({Readings, "1.0", "5"}, walk_env(shared, "99", "1"));
    for (child_process *p : {&first, &other_seed, &second})
        ASSERT_EQ(p->wait_exit(30), 0) << p->stderr_text();
    const report a = report_of(first), b = report_of(second), c = report_of(other_seed);
    ASSERT_GT(a.lines.size(), 100u);
    ASSERT_GT(b.lines.size(), 50u);

    const std::vector<distance> same = distances(a, b), apart = distances(a, c);
    ASSERT_GT(same.size(), 50u);
    ASSERT_GT(apart.size(), 50u);
    size_t beyond = 0;
    double worst_ns = 0;
    for (const distance &d : same) {
        beyond += d.ns > d.allowed_ns ? 1 : 0;
        worst_ns = std::max(worst_ns, d.ns - d.allowed_ns);
    }
    EXPECT_EQ(beyond, 0u) << "one walk, one clock: " << worst_ns << " ns beyond what the readings allow";
    std::vector<double> apart_ns;
    for (const distance &d : apart)
        apart_ns.push_back(d.ns);
    std::sort(apart_ns.begin(), apart_ns.end());
    EXPECT_GT(apart_ns[apart_ns.size() / 2], 100.0 * US) << "another seed walks elsewhere";

    for (const report *r : {&a, &b, &c}) {
        EXPECT_GT(r->mono_reads, 1000);
        EXPECT_EQ(r->mono_back, 0) << "the monotonic clock went back";
        long long walked = 0;
        for (size_t i = 1; i < r->lines.size(); ++i) {
            const clocks &p = r->lines[i - 1], &q = r->lines[i];
            // No jump: within a rate of 5 % (the walk stays far below).
            EXPECT_LE(std::llabs(q.walk_ns - p.walk_ns),
                      (q.raw - p.raw) / 20 + std::max(p.bracket_ns, q.bracket_ns) + 10 * US)
                << "at line " << i;
            EXPECT_NEAR(static_cast<double>(q.real_minus_mono), static_cast<double>(r->lines[0].real_minus_mono),
                        20.0 * US)
                << "real-time and monotonic clocks move together";
            walked = std::max(walked, std::llabs(q.walk_ns - r->lines[0].walk_ns));
        }
        EXPECT_GT(walked, 300 * US) << "the clocks wandered";
    }
}

// A local-only component whose OS clocks (real-time and monotonic, not the
// raw one) a daemon slews, from the process's start: 4 s to start and
// settle, then chrony's fastest rate up for 0.6 s, adjtime's 500 ppm for
// 3 s, chrony's rate down for 3 s, all over 13 s in.  No conversion may
// move back by more than the 0.25 us a double resolves, at any record switch
// of the run.  The error is judged from the run's half, 18 s in or later, 5 s
// or more after the last slew: the component has taken up what the slews
// left within a few cycles (to 1 us in simulation); 50 us leaves a loaded
// machine room and is still a tenth of what a second of the gentlest slew
// moves the OS clock.  The error while the slews last shows that they
// reached the process: the component cannot follow a rate before it has
// read the clocks at it, and one cycle at 83333 ppm is tens of milliseconds.
TEST(ClockWander, AComponentFollowsSlewsOfItsOsClocksAndNeverGoesBack)
{
    const auto env = preloaded_env({{"VEK_SHM_PREFIX", "yt" + std::to_string(getpid()) + "_slewed_"},
                                    {"YALTIME_TEST_CLOCK_SLEW", "0:4,83333:0.6,0:1.4,500:3,0:1,-83333:3"}},
                                   Preload);
    child_process probe({Probe, "--arg", "yaltime_local", "--accuracy", "--every", "0.2", "--for", "34", Library}, env);
    ASSERT_EQ(probe.wait_exit(100), 0) << probe.stderr_text();
    const auto runs = samples_of(probe, "accuracy");
    ASSERT_EQ(runs.size(), 1u) << probe.stderr_text();
    const auto &run = runs[0];
    EXPECT_GT(number(run, "max_all_ns"), 1e6) << "the slews never reached the process";
    EXPECT_GT(number(run, "back_checks"), 1000.0);
    // Judged at the nanosecond, the readings' own precision.
    EXPECT_LE(number(run, "back_max_all_ns"), 1.0) << "a conversion went back; steps " << run.at("steps");
    EXPECT_LE(number(run, "reading_back_max_ns"), 1.0) << "a reading went back; steps " << run.at("steps");
    EXPECT_LE(number(run, "max_ns"), 50e3) << "the error after the slews";
}

} // namespace
