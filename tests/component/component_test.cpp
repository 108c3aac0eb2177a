// The component started in processes of its own through the stand-in host:
// local-only, owner and reader, the heartbeat rule across an owner's death
// and restart, a foreign area, and x86-64 and i386 processes sharing one
// area.  Every test has a shared-memory prefix of its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "time/calibration.h"

namespace {

const std::string Probe = YALTIME_PROBE_PATH;
const std::string Library = YALTIME_LIBRARY_PATH;
const std::string Other_build = YALTIME_OTHER_BUILD_DIR; // the other target's build

// How close a reading must be to the OS clock around it.  i386 builds may
// run under user-mode emulation, whose uneven pace disturbs the one-second
// calibration by more than a native run.
#if defined(__i386__)
constexpr double Sane_s = 0.010;
#else
constexpr double Sane_s = 0.001;
#endif

std::string unique_prefix()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    return "yt" + std::to_string(getpid()) + "_" + info->name() + "_";
}

// The shared area of one test, seen from the test itself.
class shared_area {
public:
    explicit shared_area(std::string prefix) : name_("/" + std::move(prefix) + "yal_time_master") {}
    ~shared_area()
    {
        if (map_ != nullptr)
            munmap(map_, size_);
        shm_unlink(name_.c_str());
    }

    bool exists() const
    {
        struct stat st;
        const int fd = shm_open(name_.c_str(), O_RDONLY, 0);
        if (fd < 0)
            return false;
        const bool ok = fstat(fd, &st) == 0;
        close(fd);
        return ok;
    }

    // Creates (or replaces) the area with `size` bytes of `fill`.
    calibration_context_t *create(size_t size, unsigned char fill)
    {
        shm_unlink(name_.c_str());
        const int fd = shm_open(name_.c_str(), O_CREAT | O_RDWR, 0644);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0)
            return nullptr;
        return map(fd, size, fill);
    }

    // Maps the area an owner created.
    calibration_context_t *attach()
    {
        const int fd = shm_open(name_.c_str(), O_RDWR, 0);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0 || st.st_size != CALIBRATION_CONTEXT_SIZE) {
            if (fd >= 0)
                close(fd);
            return nullptr;
        }
        return map(fd, CALIBRATION_CONTEXT_SIZE, 0, false);
    }

    // Waits until an owner's heartbeat has counted at least `beats`.
    calibration_context_t *wait_live(int beats, double timeout_s)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
        while (std::chrono::steady_clock::now() < deadline) {
            calibration_context_t *c = map_ ? static_cast<calibration_context_t *>(map_) : attach();
            if (c != nullptr && calib::load(c->activity) >= beats)
                return c;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return nullptr;
    }

private:
    calibration_context_t *map(int fd, size_t size, unsigned char fill, bool fill_it = true)
    {
        void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (p == MAP_FAILED)
            return nullptr;
        if (fill_it)
            std::memset(p, fill, size);
        map_ = p;
        size_ = size;
        return static_cast<calibration_context_t *>(p);
    }

    std::string name_;
    void *map_ = nullptr;
    size_t size_ = 0;
};

std::vector<std::string> probe_command(const std::string &probe, const std::string &library,
                                       std::vector<std::string> options)
{
    std::vector<std::string> command = {probe};
    command.insert(command.end(), options.begin(), options.end());
    command.push_back(library);
    return command;
}

// Runs a probe to its end and returns it.
std::unique_ptr<child_process> run_probe(const std::string &prefix, std::vector<std::string> options,
                                         const std::string &probe = Probe, const std::string &library = Library)
{
    auto p = std::make_unique<child_process>(probe_command(probe, library, std::move(options)),
                                             std::map<std::string, std::string>{{"VEK_SHM_PREFIX", prefix}});
    EXPECT_EQ(p->wait_exit(120), 0) << p->stderr_text();
    return p;
}

std::unique_ptr<child_process> start_owner(const std::string &prefix, const std::string &probe = Probe,
                                           const std::string &library = Library,
                                           std::vector<std::string> extra = {})
{
    std::vector<std::string> options = {"--arg", "yaltime_master", "--serve"};
    options.insert(options.end(), extra.begin(), extra.end());
    return std::make_unique<child_process>(probe_command(probe, library, options),
                                           std::map<std::string, std::string>{{"VEK_SHM_PREFIX", prefix}});
}

// Each reading lies within bound_s of the OS clock read around it.
void expect_sane_readings(const std::vector<std::map<std::string, std::string>> &samples, double bound_s)
{
    for (const auto &s : samples) {
        EXPECT_GT(number(s, "now"), number(s, "before") - bound_s) << "now=" << s.at("now");
        EXPECT_LT(number(s, "now"), number(s, "os") + bound_s) << "now=" << s.at("now");
    }
}

TEST(LocalOnly, UsesItsOwnContextAndNeverMapsTheArea)
{
    const std::string prefix = unique_prefix();
    shared_area area(prefix);
    for (auto args : {std::vector<std::string>{"--arg", "yaltime_local"},
                      std::vector<std::string>{"--arg", "yaltime_local", "--arg", "yaltime_master"}}) {
        args.insert(args.end(), {"--count-mmap", "--for", "0.3", "--every", "0.1"});
        auto probe = run_probe(prefix, args);
        EXPECT_TRUE(probe->wait_for_line("started code=0", 0)) << "no choice is made before the first reading";
        auto samples = samples_of(*probe);
        ASSERT_GE(samples.size(), 2u);
        for (const auto &s : samples) {
            EXPECT_EQ(s.at("code"), "3");
            EXPECT_EQ(s.at("mmap_r"), "0");
        }
        expect_sane_readings(samples, Sane_s);
        EXPECT_FALSE(area.exists()) << "a local-only process creates no area";
    }
}

// An area left by an earlier life is taken over, not cleared: the owner's
// first record goes after the last index in force (none here, garbage), the
// heartbeat moves on from where it stood, and no other record is written.
TEST(Owner, TakesOverTheAreaWithoutClearingItThenBeatsOnceASecond)
{
    const std::string prefix = unique_prefix();
    shared_area area(prefix);
    ASSERT_NE(area.create(CALIBRATION_CONTEXT_SIZE, 0xAB), nullptr); // stale bytes of an earlier life
    constexpr int32_t Earlier_word = static_cast<int32_t>(0xABABABABu);

    const auto spawned = std::chrono::steady_clock::now();
    auto probe = run_probe(prefix, {"--arg", "yaltime_master", "--for", "2.6", "--every", "0.5"});
    const double lived_at_most_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - spawned).count();
    EXPECT_TRUE(probe->wait_for_line("started code=1", 0));
    auto samples = samples_of(*probe);
    ASSERT_GE(samples.size(), 5u);
    for (const auto &s : samples)
        EXPECT_EQ(s.at("code"), "1");
    expect_sane_readings(samples, Sane_s);

    // The first record at 1, then one of the discipline's a cycle after it.
    const calibration_context_t *context = area.attach();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->idx, 1 + context->updates);
    EXPECT_EQ(context->valid_idx, context->idx);
    EXPECT_EQ(context->stepcount, 0);
    EXPECT_EQ(context->reserved, Earlier_word);
    // The thread beats after each second it sleeps: at least once in the
    // 2.6 s the probe reads for, and never more often than the seconds the
    // process lived, however long its start and exit took.
    const int beats = static_cast<int>(static_cast<uint32_t>(context->activity) - static_cast<uint32_t>(Earlier_word));
    EXPECT_GE(beats, 1);
    EXPECT_LE(beats, static_cast<int>(lived_at_most_s)) << lived_at_most_s << " s";
    EXPECT_LE(context->updates, beats);
    const double mhz = 1.0 / context->calib_table[1].slope;
    EXPECT_GT(mhz, 100.0);
    EXPECT_LT(mhz, 20000.0);
    EXPECT_EQ(number(samples[0], "period"), 1e-6 * context->calib_table[1].slope);
    bool rest_untouched = true;
    for (int i = 0; i < CALIB_TABLE_SIZE; ++i)
        rest_untouched &= (i >= 1 && i <= context->idx) ||
                          context->calib_table[i].intercept == static_cast<int64>(0xABABABABABABABABull);
    EXPECT_TRUE(rest_untouched);
}

TEST(Reader, UsesALiveOwnersRecord)
{
    const std::string prefix = unique_prefix();
    shared_area area(prefix);
    auto owner = start_owner(prefix);
    const calibration_context_t *context = area.wait_live(1, 30);
    ASSERT_NE(context, nullptr) << owner->stderr_text();

    auto reader = run_probe(prefix, {"--for", "1", "--every", "0.2"});
    EXPECT_TRUE(reader->wait_for_line("started code=0", 0));
    auto samples = samples_of(*reader);
    ASSERT_GE(samples.size(), 3u);
    const double owners_period = 1e-6 * context->calib_table[calib::load_idx(context)].slope;
    for (const auto &s : samples) {
        EXPECT_EQ(s.at("code"), "2");
        // The owner's discipline turns its slope by a fraction of a ppm a cycle.
        EXPECT_NEAR(number(s, "period") / owners_period, 1.0, 1e-6);
    }
    expect_sane_readings(samples, Sane_s);
}

TEST(Reader, WithoutAnAreaUsesItsOwnAndRetriesNoSoonerThanTwoSeconds)
{
    const std::string prefix = unique_prefix();
    auto reader = run_probe(prefix, {"--count-mmap", "--for", "4.5", "--every", "0.05"});
    auto samples = samples_of(*reader);
    ASSERT_GE(samples.size(), 20u);
    for (const auto &s : samples)
        EXPECT_EQ(s.at("code"), "3");
    expect_sane_readings(samples, Sane_s);
    auto attempts = samples_of(*reader, "mmap_r_at");
    ASSERT_GE(attempts.size(), 2u);
    // The time from the first attempt to the last reading bounds how many
    // two-second gaps can follow the first attempt, however slow the run.
    const double span_s = number(samples.back(), "os") - number(attempts.front(), "os");
    EXPECT_LE(attempts.size(), 1u + static_cast<size_t>(span_s / 1.95)) << span_s << " s of readings";
    for (size_t i = 1; i < attempts.size(); ++i)
        EXPECT_GE(number(attempts[i], "os") - number(attempts[i - 1], "os"), 1.95);
}

TEST(Reader, AnAreaOfTheWrongSizeIsFatal)
{
    const std::string prefix = unique_prefix();
    shared_area area(prefix);
    ASSERT_NE(area.create(4096, 0), nullptr);
    child_process reader(probe_command(Probe, Library, {"--for", "0.2"}), {{"VEK_SHM_PREFIX", prefix}});
    const int status = reader.wait_exit(60);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
    EXPECT_NE(reader.stderr_text().find("get_active_calibration: invalid size (4096) of yal_time_master"),
              std::string::npos)
        << reader.stderr_text();
}

// An area that claims to be alive but whose index points outside the ring.
TEST(Reader, AForeignIndexNeverReadsOutsideTheAreaAndFallsBackToTheOsClock)
{
    const std::string prefix = unique_prefix();
    shared_area area(prefix);
    calibration_context_t *context = area.create(CALIBRATION_CONTEXT_SIZE, 0);
    ASSERT_NE(context, nullptr);
    context->calib_table[0] = {1e-3, 0};
    std::atomic<bool> beating{true};
    std::thread heartbeat([&] {
        while (beating.load()) {
            calib::increment(context->activity);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    for (int32_t idx : {-1, 5000}) {
        calib::store(context->idx, idx);
        auto reader = run_probe(prefix, {"--for", "0.5", "--every", "0.1"});
        auto samples = samples_of(*reader);
        ASSERT_GE(samples.size(), 3u);
        for (const auto &s : samples)
            EXPECT_EQ(s.at("code"), "2") << idx;
        expect_sane_readings(samples, Sane_s);
    }
    beating.store(false);
    heartbeat.join();
}

// The heartbeat rule across an owner's death and its restart.
TEST(Reader, LeavesADeadOwnerAfterTenSecondsAndReturnsWhenItRestarts)
{
    const std::string prefix = unique_prefix();
    shared_area area(prefix);
    auto owner = start_owner(prefix);
    ASSERT_NE(area.wait_live(1, 30), nullptr) << owner->stderr_text();

    child_process reader(probe_command(Probe, Library, {"--for", "20", "--every", "0.1"}),
                         {{"VEK_SHM_PREFIX", prefix}});
    ASSERT_TRUE(reader.wait_for_line("sample", 30));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    const double killed_at = static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
    owner->signal(SIGKILL);
    owner->wait_exit(10);

    std::this_thread::sleep_for(std::chrono::seconds(12));
    auto restarted = start_owner(prefix);
    ASSERT_EQ(reader.wait_exit(60), 0) << reader.stderr_text();

    auto samples = samples_of(reader);
    ASSERT_GE(samples.size(), 100u);
    double left_at = 0, returned_at = 0;
    size_t left = 0, sure_seen = samples.size();
    for (size_t i = 0; i < samples.size(); ++i) {
        const auto &s = samples[i];
        const double os = number(s, "os");
        if (sure_seen == samples.size() && number(s, "before") >= killed_at)
            sure_seen = i; // began after the kill, so it saw the last beat
        if (left_at == 0 && s.at("code") == "3") {
            left_at = os;
            left = i;
        }
        if (left_at != 0 && returned_at == 0 && s.at("code") == "2")
            returned_at = os;
        if (left_at == 0) {
            EXPECT_EQ(s.at("code"), "2") << "before leaving, at " << os - killed_at << " s after the kill";
        }
    }
    ASSERT_NE(left_at, 0) << "the reader never left the dead owner";
    // The last beat came at most a second before the kill; the reader trusts
    // it for 9 more whole seconds after it saw it change, and no longer:
    // bounded by its own readings, so a reader scheduled late does not fail.
    EXPECT_GE(left_at - killed_at, 8.5);
    ASSERT_GT(left, sure_seen);
    EXPECT_LE(number(samples[left - 1], "before") - number(samples[sure_seen], "os"), 10.05);
    EXPECT_NE(returned_at, 0) << "the reader never returned to the restarted owner";
    expect_sane_readings(samples, Sane_s);
}

bool other_build_present()
{
    return access((Other_build + "/bin/yaltime_probe").c_str(), X_OK) == 0 &&
           access((Other_build + "/lib/lib-vek-yaltime.so").c_str(), R_OK) == 0;
}

// Processes of both targets read one area alike.
TEST(CrossTarget, OwnerAndReaderOfDifferentTargetsReadTheSameTimes)
{
    if (!other_build_present())
        GTEST_SKIP() << "the other target's build is not at " << Other_build << " (make test builds both first)";
    const std::string other_probe = Other_build + "/bin/yaltime_probe";
    const std::string other_library = Other_build + "/lib/lib-vek-yaltime.so";
    const std::string ticks = std::to_string(1ull << 40);

    for (bool owner_here : {true, false}) {
        const std::string prefix = unique_prefix() + (owner_here ? "a_" : "b_");
        shared_area area(prefix);
        auto owner = owner_here ? start_owner(prefix, Probe, Library, {"--tsc-to-now", ticks})
                                : start_owner(prefix, other_probe, other_library, {"--tsc-to-now", ticks});
        ASSERT_NE(area.wait_live(1, 60), nullptr) << owner->stderr_text();
        ASSERT_TRUE(owner->wait_for_line("tsc_to_now", 10));
        // The owner writes a record a second: the reader's conversion is
        // that of one of the records in force while it ran, to the microsecond.
        const calibration_context_t *context = area.attach();
        const int32_t first_idx = calib::load_idx(context);
        auto reader = owner_here ? run_probe(prefix, {"--tsc-to-now", ticks, "--for", "0.5"}, other_probe, other_library)
                                 : run_probe(prefix, {"--tsc-to-now", ticks, "--for", "0.5"});
        auto reader_conversion = samples_of(*reader, "tsc_to_now");
        ASSERT_EQ(samples_of(*owner, "tsc_to_now").size(), 1u);
        ASSERT_EQ(reader_conversion.size(), 1u);
        std::vector<std::string> in_force;
        for (int32_t idx = first_idx; idx != calib::next_index(calib::load_idx(context)); idx = calib::next_index(idx)) {
            const calib::line l{context->calib_table[idx].slope, context->calib_table[idx].intercept};
            char now[32];
            std::snprintf(now, sizeof now, "%.6f", calib::line_tsc_to_secs(l, 1ull << 40));
            in_force.push_back(now);
        }
        EXPECT_NE(std::find(in_force.begin(), in_force.end(), reader_conversion[0].at("now")), in_force.end())
            << "owner here: " << owner_here << "; read " << reader_conversion[0].at("now");
        for (const auto &s : samples_of(*reader))
            EXPECT_EQ(s.at("code"), "2");
        expect_sane_readings(samples_of(*reader), Sane_s);
    }
}

} // namespace
