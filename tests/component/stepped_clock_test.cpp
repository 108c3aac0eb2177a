// A stepped and slewed OS clock, end to end: an owner process and a reader
// of its area run with the clock-shift preload library, so that both see a
// real-time clock the test sets forward by an hour, back by a second, by
// +50 ms and by -20 ms, and then slews by 50 ms over 0.6 s (in steps of
// 1/60 of it every 10 ms), while their monotonic clock and the machine's
// clock are left alone.  After each, from the owner's second discipline
// cycle on, every reading of both processes is on their (shifted) OS clock
// again.  The verdict counts cycles, through the area's heartbeat, not
// seconds; the seconds it took are printed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/probe_programs.h"
#include "tests/support/clock_shift_file.h"
#include "time/calibration.h"

namespace {

#if defined(__i386__)
constexpr double Sane_s = 0.010; // as in the component tests: user-mode emulation may pace i386 unevenly
#else
constexpr double Sane_s = 0.001;
#endif
constexpr int64_t NS = 1000000000;

double mono_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double real_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

class shared_area {
public:
    explicit shared_area(const std::string &prefix) : name_("/" + prefix + "yal_time_master") {}
    ~shared_area()
    {
        if (map_ != nullptr)
            munmap(map_, CALIBRATION_CONTEXT_SIZE);
        shm_unlink(name_.c_str());
    }
    // The owner's area once its heartbeat has counted `beats`, or null.
    const calibration_context_t *wait_live(int beats, double timeout_s)
    {
        const double deadline = mono_now() + timeout_s;
        while (mono_now() < deadline) {
            if (map_ == nullptr) {
                const int fd = shm_open(name_.c_str(), O_RDONLY, 0);
                struct stat st;
                if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size == CALIBRATION_CONTEXT_SIZE) {
                    void *p = mmap(nullptr, CALIBRATION_CONTEXT_SIZE, PROT_READ, MAP_SHARED, fd, 0);
                    if (p != MAP_FAILED)
                        map_ = p;
                }
                if (fd >= 0)
                    close(fd);
            }
            const auto *c = static_cast<const calibration_context_t *>(map_);
            if (c != nullptr && calib::load(c->activity) >= beats)
                return c;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return nullptr;
    }

private:
    std::string name_;
    void *map_ = nullptr;
};

struct sample {
    double before, os, now, mono;
    int code, steps;
};

std::vector<sample> readings_of(child_process &p)
{
    std::vector<sample> out;
    for (const std::string &line : p.lines()) {
        if (line.rfind("sample ", 0) != 0)
            continue;
        const auto f = fields_of(line);
        out.push_back({std::stod(f.at("before")), std::stod(f.at("os")), std::stod(f.at("now")),
                       std::stod(f.at("mono")), std::stoi(f.at("code")), std::stoi(f.at("steps"))});
    }
    return out;
}

bool on_its_os_clock(const sample &s) { return s.now > s.before - Sane_s && s.now < s.os + Sane_s; }

// One step or slew of the test's OS clock: when (monotonic) it began, the
// shift from its end on, over how many moves it is spread (1: a step), and
// when the owner had run two cycles since its end.
struct os_step {
    const char *name;
    double at_mono;
    int64_t shift_ns;
    int moves;
    double two_cycles_mono;
};

// Checks one process's samples against the steps and prints how soon it followed each.
void expect_follows(const char *who, const std::vector<sample> &samples, const std::vector<os_step> &steps,
                    double mono_to_real, double end_mono)
{
    for (size_t k = 0; k < steps.size(); ++k) {
        const os_step &st = steps[k];
        const double until = k + 1 < steps.size() ? steps[k + 1].at_mono : end_mono;
        double last_off = st.at_mono; // latest sample after the step still off its OS clock
        int counted = 0, bad = 0;
        std::vector<double> shifts_seen;
        for (const sample &s : samples) {
            if (s.mono <= st.at_mono || s.mono >= until)
                continue;
            if (!on_its_os_clock(s))
                last_off = s.mono;
            if (s.mono < st.two_cycles_mono)
                continue;
            ++counted;
            bad += on_its_os_clock(s) ? 0 : 1;
            shifts_seen.push_back(s.os - (s.mono + mono_to_real));
        }
        std::cout << "[ figures  ] " << who << ": OS clock " << st.name << ", on it again "
                  << last_off - st.at_mono << " s after it began (two owner cycles after its end took "
                  << st.two_cycles_mono - st.at_mono << " s)\n";
        EXPECT_GT(counted, 5) << who << " " << st.name;
        EXPECT_EQ(bad, 0) << who << ": readings off the OS clock two cycles after it was set " << st.name;
        // The shift is in effect: the OS clock it reads is the real one plus
        // the shift (the median, as a sample's two readings may lie apart).
        std::sort(shifts_seen.begin(), shifts_seen.end());
        if (!shifts_seen.empty()) {
            EXPECT_NEAR(shifts_seen[shifts_seen.size() / 2], static_cast<double>(st.shift_ns) / NS, 0.005)
                << who << ": the preload's shift was not in effect " << st.name;
        }
    }
}

TEST(SteppedOsClock, OwnerAndReaderFollowStepsOfAnySizeAndASlew)
{
    clock_shift_file shift;
    ASSERT_TRUE(shift.ok());
    shift.set(0);
    const std::string prefix = "yt" + std::to_string(getpid()) + "_stepped_";
    shared_area area(prefix);
    const std::map<std::string, std::string> env = shift.environment(Preload, prefix);
    const double mono_to_real = real_now() - mono_now();

    child_process owner({Probe, "--arg", "yaltime_master", "--every", "0.05", "--for", "60", "--serve", Library}, env);
    const calibration_context_t *context = area.wait_live(2, 60);
    ASSERT_NE(context, nullptr) << owner.stderr_text();
    child_process reader({Probe, "--every", "0.05", "--for", "60", Library}, env);
    ASSERT_TRUE(reader.wait_for_line("started", 60)) << reader.stderr_text();
    std::this_thread::sleep_for(std::chrono::seconds(1));

    const int64_t ms = NS / 1000;
    std::vector<os_step> steps = {{"set +1 h", 0, 3600 * NS, 1, 0},
                                  {"set back 1 s", 0, 3599 * NS, 1, 0},
                                  {"set +50 ms", 0, 3599 * NS + 50 * ms, 1, 0},
                                  {"set back 20 ms", 0, 3599 * NS + 30 * ms, 1, 0},
                                  {"slewed +50 ms over 0.6 s", 0, 3599 * NS + 80 * ms, 60, 0}};
    int64_t shift_ns = 0;
    for (os_step &st : steps) {
        st.at_mono = mono_now();
        const int64_t from_ns = shift_ns;
        for (int k = 1; k <= st.moves; ++k) {
            if (k > 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            shift_ns = from_ns + (st.shift_ns - from_ns) * k / st.moves;
            shift.set(shift_ns);
        }
        // Two cycles after its end: the one under way may have made its
        // comparison already; the next one makes it after the end.
        const int beats = calib::load(context->activity);
        ASSERT_NE(area.wait_live(beats + 2, 60), nullptr);
        st.two_cycles_mono = mono_now();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }
    const double end_mono = mono_now();
    const int steps_taken = calib::load(context->stepcount);

    expect_follows("owner", readings_of(owner), steps, mono_to_real, end_mono);
    const std::vector<sample> read = readings_of(reader);
    expect_follows("reader", read, steps, mono_to_real, end_mono);
    for (const sample &s : read) {
        if (s.mono > steps[0].at_mono) {
            EXPECT_EQ(s.code, 2) << "the reader reads the owner's area throughout";
        }
    }
    EXPECT_GE(steps_taken, 5) << "each OS step is followed by a step of the owner's calibration";
}

} // namespace
