// Owners that fail while reader processes read, through the stand-in host:
// killed, stopped and continued, a second owner beside a live one, owners
// restarted under busy readers, the area removed and replaced by a new
// owner's or by one of the wrong size, and an owner on a full /dev/shm.
//
// Readers are tests/component's probe sampling every millisecond; each
// sample carries the OS clock read just before and just after the reading.
// The test watches the owner's heartbeat itself, from its own mapping of the
// area.  Every test has a shared-memory prefix of its own, so they can run
// in parallel.  The rules checked:
//   - a reader leaves an owner ten whole seconds after the last heartbeat it
//     saw, never sooner, and returns with the owner's next heartbeat;
//   - where it leaves, its reading moves by the time between the two
//     samples, to within Switch_jump_s;
//   - every reading, the OS-clock fallback included, lies within Sane_s of
//     the OS clock read around it;
//   - a reader maps one area per object under the name; a process that
//     meets an area of the wrong size at its first mapping takes the fatal
//     path with its message.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/probe_programs.h"
#include "tests/support/clock_shift_file.h"
#include "tests/support/installed_program.h"
#include "time/area_watch.h"
#include "time/calibration.h"

namespace {

// How far a reading may lie from the OS clock read around it, and how far a
// reader's time may jump where it changes calibration.  i386 builds may run
// under user-mode emulation, whose uneven pace disturbs each process's
// one-second calibration by far more than a native run.
#if defined(__i386__)
constexpr double Sane_s = 0.010;
constexpr double Switch_jump_s = 0.010;
#else
constexpr double Sane_s = 0.001;
constexpr double Switch_jump_s = 100e-6;
#endif

// Across owner restarts a reading is the old owner's last record or the new
// owner's first record: within this of that owner's OS clock.
constexpr double Restart_sane_s = 50e-6;

constexpr double Stale_after_s = 10.0;
constexpr double Sample_every_s = 0.001;

double os_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

void sleep_s(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

std::string unique_prefix()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    return "ytf" + std::to_string(getpid()) + "_" + info->name() + "_";
}

std::string area_name(const std::string &prefix) { return "/" + prefix + "yal_time_master"; }

// Watches an owner's heartbeat from a mapping of its own, and records the OS
// time at which each new value was first seen.
struct beat_window {
    double after; // the beat came after this OS time
    double seen;  // and before this one
};

class heartbeat_watch {
public:
    explicit heartbeat_watch(std::string prefix) : name_(area_name(prefix)) {}
    ~heartbeat_watch()
    {
        stop();
        if (map_ != nullptr)
            munmap(map_, CALIBRATION_CONTEXT_SIZE);
        shm_unlink(name_.c_str());
    }

    // Maps the area once an owner has made it (once only).
    bool map(double timeout_s)
    {
        const double deadline = os_now() + timeout_s;
        while (map_ == nullptr && os_now() < deadline) {
            map_ = map_existing();
            if (map_ == nullptr)
                sleep_s(0.05);
        }
        return map_ != nullptr;
    }

    // Maps the area and waits for `beats` beats, watching them from then on.
    bool start(int beats, double timeout_s)
    {
        const double deadline = os_now() + timeout_s;
        if (!map(timeout_s))
            return false;
        watcher_ = std::thread([this] { watch(); });
        while (os_now() < deadline) {
            if (calib::load(map_->activity) >= beats)
                return true;
            sleep_s(0.05);
        }
        return false;
    }

    void stop()
    {
        stopping_.store(true);
        if (watcher_.joinable())
            watcher_.join();
    }

    // The latest heartbeat change happened between these two OS times: the
    // watcher's last look that still saw the old value, and its first look
    // that saw the new one.
    beat_window last_change() const { return {changed_after_.load(), last_change_.load()}; }

    const std::string &name() const { return name_; }
    int idx() const { return calib::load(map_->idx); }
    int valid_idx() const { return calib::load(map_->valid_idx); }
    calibration_record_t record(int idx) const
    {
        return {calib::load(map_->calib_table[idx].slope), calib::load(map_->calib_table[idx].intercept)};
    }
    int heartbeat() const { return calib::load(map_->activity); }

private:
    calibration_context_t *map_existing()
    {
        const int fd = shm_open(name_.c_str(), O_RDONLY, 0);
        if (fd < 0)
            return nullptr;
        struct stat st;
        void *p = MAP_FAILED;
        if (fstat(fd, &st) == 0 && st.st_size == CALIBRATION_CONTEXT_SIZE)
            p = mmap(nullptr, CALIBRATION_CONTEXT_SIZE, PROT_READ, MAP_SHARED, fd, 0);
        close(fd);
        return p == MAP_FAILED ? nullptr : static_cast<calibration_context_t *>(p);
    }

    void watch()
    {
        int seen = calib::load(map_->activity);
        double looked_at = os_now();
        changed_after_.store(looked_at);
        last_change_.store(looked_at);
        while (!stopping_.load()) {
            const int now = calib::load(map_->activity);
            const double at = os_now();
            if (now != seen) {
                seen = now;
                changed_after_.store(looked_at);
                last_change_.store(at);
            }
            looked_at = at;
            sleep_s(0.002);
        }
    }

    std::string name_;
    calibration_context_t *map_ = nullptr;
    std::thread watcher_;
    std::atomic<bool> stopping_{false};
    std::atomic<double> changed_after_{0.0};
    std::atomic<double> last_change_{0.0};
};

std::unique_ptr<child_process> start_probe(const std::string &prefix, std::vector<std::string> options,
                                           std::map<std::string, std::string> env = {})
{
    std::vector<std::string> command = {Probe};
    command.insert(command.end(), options.begin(), options.end());
    command.push_back(Library);
    env["VEK_SHM_PREFIX"] = prefix;
    return std::make_unique<child_process>(command, env);
}

std::unique_ptr<child_process> start_owner(const std::string &prefix)
{
    return start_probe(prefix, {"--arg", "yaltime_master", "--serve"});
}

std::unique_ptr<child_process> start_reader(const std::string &prefix, double for_s)
{
    return start_probe(prefix, {"--count-mmap", "--for", std::to_string(for_s), "--every", std::to_string(Sample_every_s)});
}

struct sample {
    double before, os, now;
    int code;
    int maps; // distinct areas mapped so far
};

std::vector<sample> readings_of(child_process &p)
{
    std::vector<sample> samples;
    for (const std::string &line : p.lines()) {
        if (line.rfind("sample ", 0) != 0)
            continue;
        const auto f = fields_of(line);
        samples.push_back({std::stod(f.at("before")), std::stod(f.at("os")), std::stod(f.at("now")),
                           std::stoi(f.at("code")), std::stoi(f.at("maps"))});
    }
    return samples;
}

// Index of the first sample at or after `from` whose code is `code`, or -1.
long first_with_code(const std::vector<sample> &samples, size_t from, int code)
{
    for (size_t i = from; i < samples.size(); ++i)
        if (samples[i].code == code)
            return static_cast<long>(i);
    return -1;
}

// Index of the first sample that is not on the first area mapped (another
// area, or the reader's own calibration), after one that was; -1 if none.
long first_off_the_first_area(const std::vector<sample> &samples)
{
    const long on = first_with_code(samples, 0, 2);
    for (size_t i = on < 0 ? samples.size() : static_cast<size_t>(on); i < samples.size(); ++i)
        if (samples[i].code != 2 || samples[i].maps != 1)
            return static_cast<long>(i);
    return -1;
}

// Every reading within `bound_s` of the OS clock read around it.
void expect_within(const std::vector<sample> &samples, double bound_s, const char *who)
{
    size_t outside = 0;
    double worst = 0;
    for (const sample &s : samples) {
        const double off = std::max(s.before - s.now, s.now - s.os);
        if (off > bound_s)
            ++outside;
        worst = std::max(worst, off);
    }
    EXPECT_EQ(outside, 0u) << who << ": readings beyond " << bound_s << " s of the OS clock (worst " << worst
                           << " s) among " << samples.size();
}

void expect_sane(const std::vector<sample> &samples, const char *who) { expect_within(samples, Sane_s, who); }

// Where the reader changed calibration between samples i - 1 and i, its
// reading moved by the time between them, to within Switch_jump_s.
void expect_smooth_switch(const std::vector<sample> &samples, long i, const char *where)
{
    ASSERT_GT(i, 0) << where;
    const sample &a = samples[static_cast<size_t>(i) - 1];
    const sample &b = samples[static_cast<size_t>(i)];
    const double moved = b.now - a.now;
    EXPECT_LE(moved, (b.os - a.before) + Switch_jump_s) << where << ": jumped ahead";
    EXPECT_GE(moved, (b.before - a.os) - Switch_jump_s) << where << ": jumped back";
}

// The reader left the silent owner's area at samples[left], neither before
// ten seconds had passed since the last beat nor after it had used the beat
// for ten seconds.  Both bounds hold however late the watcher or the reader
// were scheduled: the reader's first sight of the beat lies between the beat
// itself and its first reading that began after the watcher saw the beat.
void expect_left_ten_seconds_after(const std::vector<sample> &samples, long left, const beat_window &beat)
{
    ASSERT_GT(left, 0);
    const double left_at = samples[static_cast<size_t>(left)].os;
    EXPECT_GE(left_at - beat.after, Stale_after_s - 0.05) << "left too soon after the last heartbeat";
    size_t sure_seen = 0;
    while (sure_seen < samples.size() && samples[sure_seen].before < beat.seen)
        ++sure_seen;
    ASSERT_LT(sure_seen, samples.size()) << "no reading after the last heartbeat";
    const double used_for_s = samples[static_cast<size_t>(left) - 1].before - samples[sure_seen].os;
    EXPECT_LE(used_for_s, Stale_after_s + 0.05) << "stayed too long with a silent owner";
}

// Checks one reader across a stall of its owner that began after `stall_after`
// and ended at `resumed_at`: it read the owner's area, left it no sooner than
// ten seconds after the last heartbeat and not much later, smoothly, and
// came back once the owner beat again.
void expect_left_and_returned(child_process &reader, const beat_window &last_beat, double resumed_at,
                              bool smooth_return)
{
    const std::vector<sample> samples = readings_of(reader);
    ASSERT_GT(samples.size(), 1000u) << reader.stderr_text();
    const long first_shared = first_with_code(samples, 0, 2);
    ASSERT_GE(first_shared, 0) << "the reader never used the owner's area";
    const long left = first_with_code(samples, static_cast<size_t>(first_shared), 3);
    ASSERT_GT(left, first_shared) << "the reader never left the stalled owner";
    expect_left_ten_seconds_after(samples, left, last_beat);
    expect_smooth_switch(samples, left, "leaving");

    const long back = first_with_code(samples, static_cast<size_t>(left), 2);
    ASSERT_GT(back, left) << "the reader never returned";
    EXPECT_GE(samples[static_cast<size_t>(back)].os, resumed_at);
    if (smooth_return)
        expect_smooth_switch(samples, back, "returning");
    expect_sane(samples, "reader");
    for (const sample &s : samples)
        EXPECT_LE(s.maps, 1) << "another area was mapped";
}

constexpr int Readers = 2;

// Starts an owner and Readers readers sampling for reader_s, waits until every
// reader samples, then kills the owner: the window of its last beat.
void kill_owner_under_readers(heartbeat_watch &beats, const std::string &prefix, double reader_s,
                              std::vector<std::unique_ptr<child_process>> *readers, beat_window *last_beat)
{
    auto owner = start_owner(prefix);
    ASSERT_TRUE(beats.start(1, 60)) << owner->stderr_text();
    for (int r = 0; r < Readers; ++r)
        readers->push_back(start_reader(prefix, reader_s));
    for (auto &reader : *readers)
        ASSERT_TRUE(reader->wait_for_line("sample", 60)) << reader->stderr_text();
    sleep_s(1.0);

    owner->signal(SIGKILL);
    owner->wait_exit(10);
    sleep_s(0.2);
    *last_beat = beats.last_change();
}

TEST(OwnerFaults, KilledOwnerIsLeftAfterTenSecondsAndARestartedOneTakenBack)
{
    const std::string prefix = unique_prefix();
    heartbeat_watch beats(prefix);
    std::vector<std::unique_ptr<child_process>> readers;
    beat_window last_beat{};
    ASSERT_NO_FATAL_FAILURE(kill_owner_under_readers(beats, prefix, 26, &readers, &last_beat));
    sleep_s(Stale_after_s + 2.0);
    const double restarted_at = os_now();
    auto restarted = start_owner(prefix);

    for (auto &reader : readers) {
        ASSERT_EQ(reader->wait_exit(120), 0) << reader->stderr_text();
        // The restarted owner takes the same area over with a calibration of
        // its own; the reader joins its line from below and returns to it
        // forward, within the run's last 13 s.
        expect_left_and_returned(*reader, last_beat, restarted_at, true);
    }
}

TEST(OwnerFaults, StoppedOwnerIsLeftAndTakenBackWhenItContinues)
{
    const std::string prefix = unique_prefix();
    heartbeat_watch beats(prefix);
    auto owner = start_owner(prefix);
    ASSERT_TRUE(beats.start(1, 60)) << owner->stderr_text();

    std::vector<std::unique_ptr<child_process>> readers;
    for (int r = 0; r < Readers; ++r)
        readers.push_back(start_reader(prefix, 22));
    for (auto &reader : readers)
        ASSERT_TRUE(reader->wait_for_line("sample", 60)) << reader->stderr_text();
    sleep_s(1.0);

    owner->signal(SIGSTOP);
    sleep_s(0.2);
    const beat_window last_beat = beats.last_change();
    sleep_s(15.0 - 0.2);
    const double continued_at = os_now();
    owner->signal(SIGCONT);

    for (auto &reader : readers) {
        ASSERT_EQ(reader->wait_exit(120), 0) << reader->stderr_text();
        expect_left_and_returned(*reader, last_beat, continued_at, true);
    }
    EXPECT_GT(beats.last_change().seen, continued_at) << "the owner beats again after SIGCONT";
}

// A second owner beside a live one stops with the live owner's pid and
// never writes the area: the heartbeat goes on from the first owner alone.
TEST(OwnerFaults, ASecondOwnerStopsNamingTheLiveOneAndNeverWritesTheArea)
{
    const std::string prefix = unique_prefix();
    heartbeat_watch beats(prefix);
    auto first_owner = start_owner(prefix);
    ASSERT_TRUE(beats.start(1, 60)) << first_owner->stderr_text();

    std::vector<std::unique_ptr<child_process>> readers;
    for (int r = 0; r < Readers; ++r)
        readers.push_back(start_reader(prefix, 6));
    for (auto &reader : readers)
        ASSERT_TRUE(reader->wait_for_line("sample", 60)) << reader->stderr_text();

    const int heartbeat_before = beats.heartbeat();
    const int idx_before = beats.idx();
    auto second_owner = start_owner(prefix);
    const int status = second_owner->wait_exit(60);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
    const std::string said = second_owner->stderr_text();
    EXPECT_NE(said.find("is held by its live owner, pid " + std::to_string(first_owner->pid())), std::string::npos)
        << said;
    EXPECT_NE(said.find("YALTIME: Unable to create yal_time_master shared memory area"), std::string::npos) << said;
    EXPECT_GE(beats.heartbeat(), heartbeat_before) << "the heartbeat was not reset";
    EXPECT_GE(beats.idx(), idx_before) << "the index was not reset";

    child_process status_tool({Status, "--watch-seconds", "2"}, {{"VEK_SHM_PREFIX", prefix}});
    EXPECT_EQ(status_tool.wait_exit(60), 0) << status_tool.stderr_text();
    bool names_pid = false;
    for (const std::string &line : status_tool.lines())
        names_pid |= line.find("owner      live") == 0 &&
                     line.find(", pid " + std::to_string(first_owner->pid())) != std::string::npos;
    EXPECT_TRUE(names_pid) << "yaltime-status names the owner's pid";

    for (auto &reader : readers) {
        ASSERT_EQ(reader->wait_exit(120), 0) << reader->stderr_text();
        const std::vector<sample> samples = readings_of(*reader);
        ASSERT_GT(samples.size(), 1000u);
        expect_sane(samples, "reader beside a refused second owner");
        EXPECT_EQ(samples.back().code, 2) << "the area beats throughout: the reader ends on it";
    }
}

// The owner killed and started again, each new one held for a while inside
// its takeover (its initial calibration), while readers read without pause.
// Each owner sees the OS clock shifted by a step of its own, so a reading
// tells where it came from: an owner's record lies that shift ahead of the
// reader's OS clock, the OS-clock fallback on it.  The last record stays in
// force throughout every takeover: every sampled reading comes from an
// owner's record, and no reader says a calibration failure (which every
// OS-clock fallback, in any thread, is counted as).
TEST(OwnerFaults, RestartsUnderBusyReadersKeepTheLastRecordInForce)
{
    constexpr int Restarts = 3;
    constexpr double Hold_s = 1.5;
    constexpr double Shift_step_s = 0.020;
    const std::string prefix = unique_prefix();
    heartbeat_watch beats(prefix);
    std::vector<std::unique_ptr<clock_shift_file>> shifts;
    auto start_shifted_owner = [&](std::vector<std::string> options) {
        shifts.push_back(std::make_unique<clock_shift_file>("_owner" + std::to_string(shifts.size())));
        shifts.back()->set(static_cast<int64_t>(std::llround(Shift_step_s * 1e9 * static_cast<double>(shifts.size()))));
        options.insert(options.begin(), {"--arg", "yaltime_master"});
        return start_probe(prefix, options, shifted_env({}, Preload, *shifts.back()));
    };
    auto owner = start_shifted_owner({"--serve"});
    ASSERT_TRUE(beats.start(1, 60)) << owner->stderr_text();

    std::vector<std::unique_ptr<child_process>> readers;
    for (int r = 0; r < Readers; ++r)
        readers.push_back(start_probe(prefix, {"--busy", "2", "--for", std::to_string(Restarts * 5.0 + 2),
                                               "--every", "0.01"}));
    for (auto &reader : readers)
        ASSERT_TRUE(reader->wait_for_line("sample", 60)) << reader->stderr_text();

    for (int restart = 0; restart < Restarts; ++restart) {
        const int idx_before = beats.idx();
        owner->signal(SIGKILL);
        owner->wait_exit(10);
        owner = start_shifted_owner({"--hold-start", std::to_string(Hold_s), "--serve"});
        ASSERT_TRUE(owner->wait_for_line("holding", 60)) << owner->stderr_text();
        sleep_s(0.5);
        EXPECT_EQ(beats.idx(), idx_before) << "inside the takeover the last record stays in force";
        ASSERT_TRUE(owner->wait_for_line("serving", 60)) << owner->stderr_text();
        EXPECT_EQ(beats.idx(), (idx_before + 1) % CALIB_TABLE_SIZE) << "the new record right after it";
        sleep_s(1.5);
    }

    for (auto &reader : readers) {
        ASSERT_EQ(reader->wait_exit(120), 0) << reader->stderr_text();
        EXPECT_EQ(reader->stderr_text().find("calibration fail count"), std::string::npos) << reader->stderr_text();
        size_t astray = 0;
        for (const sample &s : readings_of(*reader)) {
            const double ahead = s.now - (s.before + s.os) / 2;
            const double owner_step = std::round(ahead / Shift_step_s);
            astray += owner_step >= 1 && owner_step <= Restarts + 1 &&
                              std::fabs(ahead - owner_step * Shift_step_s) < Restart_sane_s + (s.os - s.before)
                          ? 0
                          : 1;
        }
        EXPECT_EQ(astray, 0u) << "readings from no owner's record";
        // The busy threads' readings are not told apart (one of them may
        // meet the accepted race over the last heartbeat seen and read its
        // own calibration once); an OS-clock fallback anywhere would have
        // been counted and said above.
        for (const auto &b : samples_of(*reader, "busy"))
            EXPECT_GT(number(b, "readings"), 1e5);
    }
}

// What a reader of a dead owner's area does once the name is given to
// another object: it takes up a new owner's area within 20 s, and ignores
// (without dying) a trusted one of the wrong size, which kills a newcomer.
struct replacement {
    const char *what;
    bool new_owner; // else an area of 4096 bytes
};

TEST(OwnerFaults, ReadersFollowTheNameToANewOwnerOnly)
{
    const replacement rows[] = {{"a new owner's area", true}, {"an area of 4096 bytes", false}};
    for (const replacement &row : rows) {
        const std::string prefix = unique_prefix() + (row.new_owner ? "owner_" : "size_");
        heartbeat_watch beats(prefix);
        std::vector<std::unique_ptr<child_process>> readers;
        beat_window last_beat{};
        ASSERT_NO_FATAL_FAILURE(kill_owner_under_readers(beats, prefix, 17, &readers, &last_beat));
        ASSERT_EQ(shm_unlink(beats.name().c_str()), 0);
        const double replaced_at = os_now();
        std::unique_ptr<child_process> replacement_owner;
        if (row.new_owner) {
            replacement_owner = start_owner(prefix);
            ASSERT_TRUE(replacement_owner->wait_for_line("serving", 60)) << replacement_owner->stderr_text();
        } else {
            const int fd = shm_open(beats.name().c_str(), O_CREAT | O_EXCL | O_RDWR, 0644);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(ftruncate(fd, 4096), 0);
            close(fd);
            auto newcomer = start_probe(prefix, {"--for", "0.2"});
            const int status = newcomer->wait_exit(60);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
            EXPECT_NE(newcomer->stderr_text().find("get_active_calibration: invalid size (4096) of yal_time_master"),
                      std::string::npos)
                << newcomer->stderr_text();
        }

        for (auto &reader : readers) {
            ASSERT_EQ(reader->wait_exit(120), 0) << row.what << ": " << reader->stderr_text();
            const std::vector<sample> samples = readings_of(*reader);
            ASSERT_GT(samples.size(), 1000u) << row.what;
            const long moved = first_off_the_first_area(samples);
            ASSERT_GT(moved, 0) << row.what << ": the reader never left the old area";
            expect_left_ten_seconds_after(samples, moved, last_beat);
            expect_sane(samples, row.what);
            if (!row.new_owner) {
                expect_smooth_switch(samples, moved, "leaving the old area");
                EXPECT_EQ(first_with_code(samples, static_cast<size_t>(moved), 2), -1) << row.what;
                continue;
            }
            // Its own calibration first, until the discipline thread has
            // seen the new area beat (a look every other second).
            size_t taken = static_cast<size_t>(moved);
            while (taken < samples.size() && (samples[taken].maps != 2 || samples[taken].code != 2))
                ++taken;
            ASSERT_LT(taken, samples.size()) << row.what << ": never went to the new owner's area";
            EXPECT_EQ(samples.back().code, 2) << row.what;
            EXPECT_LT(samples[taken].os - replaced_at, 20.0) << row.what;
        }
        shm_unlink(beats.name().c_str());
    }
}

// Lines of /proc/PID/maps that map the object `name` ("/prefix...").
int mappings_of(pid_t pid, const std::string &name)
{
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    int count = 0;
    for (std::string line; std::getline(maps, line);)
        count += line.find("/dev/shm" + name) != std::string::npos ? 1 : 0;
    return count;
}

// The system calls of one thread (`tid`) that open, stat, map, unmap or
// close anything, or allocate memory, traced for `seconds`; strace's own
// complaint when it could not trace at all.
std::string calls_of_thread(pid_t tid, double seconds)
{
    child_process strace({"/usr/bin/timeout", "-s", "INT", std::to_string(seconds), "strace", "-qq", "-e",
                          "signal=none", "-e", "trace=%file,%stat,%fstat,%memory,close", "-p", std::to_string(tid)},
                         {});
    strace.wait_exit(seconds + 30);
    return strace.stderr_text();
}

// A reader whose owner was killed reads the stale area on its reading
// thread without a system call; its discipline thread looks for another
// object under the name, and whatever host it runs on (one that gives the
// same object the same address, counted, or one that maps anew on every
// call), the area is mapped at most twice at any time: the area in use and
// one candidate.
struct host_mapping {
    const char *what;
    const char *map_anew; // VEK_SHM_MAP_ANEW
};

TEST(OwnerFaults, AStaleAreaIsReadWithoutSystemCallsAndMappedAtMostTwice)
{
    ASSERT_TRUE(installed("strace")) << not_installed_message("strace");
    const host_mapping rows[] = {{"a host that maps an object once", "0"}, {"a host that maps anew", "1"}};
    constexpr double Stale_for_s = 32;
    struct row_run {
        std::unique_ptr<heartbeat_watch> beats;
        std::vector<std::unique_ptr<child_process>> readers;
        double killed_at = 0;
    };
    std::vector<row_run> runs(std::size(rows));
    for (size_t r = 0; r < std::size(rows); ++r) {
        const std::string prefix = unique_prefix() + std::to_string(r) + "_";
        runs[r].beats = std::make_unique<heartbeat_watch>(prefix);
        auto owner = start_owner(prefix);
        ASSERT_TRUE(runs[r].beats->start(1, 60)) << owner->stderr_text();
        runs[r].readers.push_back(start_probe(prefix, {"--count-mmap", "--for", std::to_string(Stale_for_s + 25),
                                                       "--every", "0.001"},
                                              {{"VEK_SHM_MAP_ANEW", rows[r].map_anew}}));
        ASSERT_TRUE(runs[r].readers[0]->wait_for_line("sample", 60)) << runs[r].readers[0]->stderr_text();
        owner->signal(SIGKILL);
        owner->wait_exit(10);
        runs[r].killed_at = os_now();
    }
    sleep_s(Stale_after_s + 1);
    // The reading thread is the probe's main thread: its id is the pid.
    std::vector<std::string> traced(std::size(rows));
    std::vector<std::thread> tracers;
    for (size_t r = 0; r < std::size(rows); ++r)
        tracers.emplace_back([&, r] { traced[r] = calls_of_thread(runs[r].readers[0]->pid(), 20); });
    for (std::thread &t : tracers)
        t.join();
    for (size_t r = 0; r < std::size(rows); ++r)
        EXPECT_EQ(traced[r], "") << rows[r].what << ": system calls on the reading thread of a stale area";
    // The readers run 25 s beyond that, for a tracer slow to end.
    sleep_s(std::max(0.0, runs[1].killed_at + Stale_after_s + Stale_for_s - os_now()));

    // Every reader's mappings are counted before any is waited for: reading
    // one's samples takes seconds, and the next one's run may end meanwhile.
    std::vector<int> mapped;
    for (const row_run &run : runs)
        mapped.push_back(mappings_of(run.readers[0]->pid(), run.beats->name()));
    for (size_t r = 0; r < std::size(rows); ++r) {
        child_process &reader = *runs[r].readers[0];
        EXPECT_GE(mapped[r], 1) << rows[r].what;
        EXPECT_LE(mapped[r], 2) << rows[r].what << ": mappings of the area after 30 s of staleness";
        ASSERT_EQ(reader.wait_exit(60), 0) << reader.stderr_text();
        const std::vector<sample> samples = readings_of(reader);
        ASSERT_FALSE(samples.empty());
        EXPECT_EQ(samples.back().code, 3) << rows[r].what;
        EXPECT_GE(number(samples_of(reader).back(), "mmap_r"), Stale_for_s / AREA_LOOK_EVERY_CYCLES / 3)
            << rows[r].what << ": the discipline thread looked at the name while the area was stale";
    }
}

// An owner's name removed (rm, or systemd-logind's RemoveIPC), under a
// reader: the owner says so once and takes the name again, or, when a
// second owner took it meanwhile, stops its heartbeat and reads that owner's
// area.  Either way, within 90 s one live area is under the name again, the
// old one beats no more, and the reader is back on a shared area (code 2, a
// second area mapped).
struct removal {
    const char *what;
    bool second_owner;
    const char *said; // the first owner's line
    int first_owner_code; // what the first owner reads at the end
};

TEST(OwnerFaults, AnOwnerWhoseNameIsRemovedTakesItAgainOrFollowsTheNewOwner)
{
    const removal rows[] = {
        {"the name removed", false, "no longer names this owner's area; this owner took the name again", 1},
        {"the name removed and given to a second owner", true,
         "no longer names this owner's area and another owner holds it; this process stops its heartbeat", 2}};
    constexpr double Follow_within_s = 90;
    struct row_run {
        std::string prefix;
        std::unique_ptr<heartbeat_watch> old_area;
        std::unique_ptr<child_process> first_owner, second_owner, reader;
        double removed_at = 0;
    };
    std::vector<row_run> runs(std::size(rows));
    for (size_t r = 0; r < std::size(rows); ++r) {
        row_run &run = runs[r];
        run.prefix = unique_prefix() + std::to_string(r) + "_";
        run.old_area = std::make_unique<heartbeat_watch>(run.prefix);
        run.first_owner = start_probe(run.prefix, {"--arg", "yaltime_master", "--for", "75", "--every", "1"});
        ASSERT_TRUE(run.old_area->start(1, 60)) << run.first_owner->stderr_text();
        run.reader = start_reader(run.prefix, 58);
        ASSERT_TRUE(run.reader->wait_for_line("sample", 60)) << run.reader->stderr_text();
        ASSERT_EQ(shm_unlink(run.old_area->name().c_str()), 0);
        run.removed_at = os_now();
        if (rows[r].second_owner) {
            run.second_owner = start_owner(run.prefix);
            ASSERT_TRUE(run.second_owner->wait_for_line("serving", 60)) << run.second_owner->stderr_text();
        }
    }

    for (size_t r = 0; r < std::size(rows); ++r) {
        row_run &run = runs[r];
        ASSERT_EQ(run.reader->wait_exit(120), 0) << rows[r].what << ": " << run.reader->stderr_text();
        const std::vector<sample> samples = readings_of(*run.reader);
        ASSERT_FALSE(samples.empty());
        EXPECT_EQ(samples.back().code, 2) << rows[r].what << ": the reader is back on a shared area";
        EXPECT_EQ(samples.back().maps, 2) << rows[r].what << ": the area now under the name";
        expect_sane(samples, rows[r].what);
        EXPECT_LT(run.old_area->last_change().seen - run.removed_at, Follow_within_s)
            << rows[r].what << ": the old area stopped beating";
        EXPECT_GT(os_now() - run.old_area->last_change().seen, 20.0) << rows[r].what << ": and beats no more";

        heartbeat_watch under_name(run.prefix);
        const int beat = under_name.map(5) ? under_name.heartbeat() : -1;
        sleep_s(2.5);
        EXPECT_NE(under_name.heartbeat(), beat) << rows[r].what << ": a live area under the name";

        ASSERT_EQ(run.first_owner->wait_exit(60), 0) << run.first_owner->stderr_text();
        EXPECT_EQ(samples_of(*run.first_owner).back().at("code"), std::to_string(rows[r].first_owner_code))
            << rows[r].what;
        const std::string said = run.first_owner->stderr_text();
        const size_t at = said.find(rows[r].said);
        EXPECT_NE(at, std::string::npos) << said;
        EXPECT_EQ(said.find("no longer names", at + 1), std::string::npos) << "said once: " << said;
    }
}

// An owner's start on a name that did not exist, or that holds an object
// no record was ever published in, is the specified one: record 0 and
// index 0.  On an area another owner published in, it is a takeover: its
// record comes right after the last one in force, which it leaves alone.
struct fresh_start {
    const char *what;
    enum { NO_NAME, ZERO_OBJECT, PUBLISHED_AREA } before;
};

TEST(OwnerFaults, AnOwnersStartOnAFreshAreaIsTheSpecifiedOne)
{
    const fresh_start rows[] = {{"a name that did not exist", fresh_start::NO_NAME},
                                {"an all-zero object left under the name", fresh_start::ZERO_OBJECT},
                                {"an area another owner published in", fresh_start::PUBLISHED_AREA}};
    for (const fresh_start &row : rows) {
        const std::string prefix = unique_prefix() + std::to_string(row.before) + "_";
        heartbeat_watch area(prefix);
        int last_idx = -1;
        calibration_record_t last_record{};
        if (row.before == fresh_start::ZERO_OBJECT) {
            const int fd = shm_open(area.name().c_str(), O_CREAT | O_EXCL | O_RDWR, 0644);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(ftruncate(fd, CALIBRATION_CONTEXT_SIZE), 0);
            close(fd);
        } else if (row.before == fresh_start::PUBLISHED_AREA) {
            auto previous = start_owner(prefix);
            ASSERT_TRUE(previous->wait_for_line("serving", 60)) << previous->stderr_text();
            previous->signal(SIGKILL);
            previous->wait_exit(10);
            ASSERT_TRUE(area.map(5));
            last_idx = area.idx();
            last_record = area.record(last_idx);
        }
        auto owner = start_owner(prefix);
        ASSERT_TRUE(owner->wait_for_line("started", 60)) << owner->stderr_text();
        ASSERT_TRUE(area.map(5)) << row.what;
        const int expected_idx = last_idx < 0 ? 0 : last_idx + 1;
        EXPECT_EQ(area.idx(), expected_idx) << row.what;
        EXPECT_EQ(area.valid_idx(), expected_idx) << row.what;
        const calibration_record_t first = area.record(expected_idx);
        EXPECT_GT(first.slope, 0.0) << row.what;
        const double now_s = (static_cast<double>(rdtsc()) * first.slope + static_cast<double>(first.intercept)) * 1e-6;
        EXPECT_NEAR(now_s, os_now(), Sane_s) << row.what << ": the record holds the calibration";
        if (last_idx >= 0) {
            EXPECT_EQ(area.record(last_idx).slope, last_record.slope) << "the last record in force left alone";
            EXPECT_EQ(area.record(last_idx).intercept, last_record.intercept);
        }
        owner->signal(SIGKILL);
        owner->wait_exit(10);
    }
}

// A /dev/shm with no room for the area (a tiny tmpfs in a mount namespace of
// the owner's own): the owner stops with its message, not with SIGBUS.
TEST(OwnerFaults, AnOwnerOnAFullDevShmStopsWithTheMessage)
{
    const std::string script = "mount -t tmpfs -o size=8k yaltime_full /dev/shm && exec \"$0\" \"$@\"";
    child_process owner({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script, Probe,
                         "--arg", "yaltime_master", Library},
                        {{"VEK_SHM_PREFIX", unique_prefix()}});
    const int status = owner.wait_exit(60);
    const std::string said = owner.stderr_text();
    if (said.find("unshare") != std::string::npos || said.find("mount") != std::string::npos)
        GTEST_SKIP() << "no private mount namespace with a tmpfs here: " << said;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status << " " << said;
    EXPECT_NE(said.find("YALTIME: Unable to create yal_time_master shared memory area"), std::string::npos) << said;
}

} // namespace
