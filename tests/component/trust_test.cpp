// Shared areas that another local user could have written, met by readers
// and owners started through the stand-in host: a live area of another user
// that sets the time a day ahead, an area planted before the owner starts
// and rewritten after, one of the wrong size, and every other kind of object
// a user can put under the name.  The planting is done by
// a process that has dropped to an unprivileged user, as an attacker would.
// Needs root (CI runs the suite as root); every test has a prefix of its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "public/tsc.h"
#include "tests/support/child_process.h"
#include "tests/support/probe_programs.h"
#include "time/calibration.h"

namespace {

#if defined(__i386__)
constexpr double Sane_s = 0.010; // user-mode emulation disturbs the one-second calibration
#else
constexpr double Sane_s = 0.001;
#endif

constexpr uid_t Nobody = 65534;
constexpr uid_t Other_user = 65533; // unprivileged, without a name
constexpr uid_t Owner_user = 65532; // an unprivileged owner's user, without a name

std::string unique_prefix(const std::string &row = "")
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    return "yt" + std::to_string(getpid()) + "_" + info->name() + row + "_";
}

std::string area_name(const std::string &prefix) { return "/" + prefix + "yal_time_master"; }

double os_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

bool drop_to(uid_t id) { return setgroups(0, nullptr) == 0 && setgid(id) == 0 && setuid(id) == 0; }

struct stat stat_of(const std::string &posix)
{
    struct stat st {};
    const int fd = shm_open(posix.c_str(), O_RDONLY | O_NONBLOCK, 0);
    if (fd >= 0) {
        fstat(fd, &st);
        close(fd);
    }
    return st;
}

// A process that creates the area as user `uid` with `mode` and `size`
// bytes and, for an area of the right size, keeps writing a record that puts
// the time `ahead_s` ahead and a heartbeat that moves ten times a second.
class planter {
public:
    planter(const std::string &posix, uid_t uid, mode_t mode, size_t size, double ahead_s) : name_(posix)
    {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            run(uid, mode, size, ahead_s, ready[1]); // never returns
        }
        close(ready[1]);
        char byte = 0;
        ready_ = read(ready[0], &byte, 1) == 1 && byte == 'y';
        close(ready[0]);
    }
    ~planter()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        shm_unlink(name_.c_str());
    }
    bool ready() const { return ready_; }

private:
    // Only system calls and plain stores: the test process has threads.
    [[noreturn]] void run(uid_t uid, mode_t mode, size_t size, double ahead_s, int ready_fd)
    {
        const int fd = (uid == 0 || drop_to(uid)) ? shm_open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL, mode) : -1;
        void *p = MAP_FAILED;
        if (fd >= 0 && fchmod(fd, mode) == 0 && ftruncate(fd, static_cast<off_t>(size)) == 0)
            p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (write(ready_fd, p == MAP_FAILED ? "n" : "y", 1) != 1 || p == MAP_FAILED)
            _exit(1);
        auto *context = static_cast<calibration_context_t *>(p);
        for (;;) {
            if (size == CALIBRATION_CONTEXT_SIZE) {
                // 1 GHz, re-anchored at every beat so the reading stays ahead_s ahead.
                const double slope_us = 1e-3;
                const double now_us = (os_now() + ahead_s) * 1e6;
                const auto intercept = static_cast<int64_t>(now_us - static_cast<double>(rdtsc()) * slope_us);
                calib::store(context->calib_table[0].slope, slope_us);
                calib::store(context->calib_table[0].intercept, intercept);
                calib::increment(context->activity);
            }
            struct timespec gap = {0, 100000000};
            nanosleep(&gap, nullptr);
        }
    }

    std::string name_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

std::vector<std::string> probe_command(std::vector<std::string> options)
{
    std::vector<std::string> command = {Probe};
    command.insert(command.end(), options.begin(), options.end());
    command.push_back(Library);
    return command;
}

std::unique_ptr<child_process> start_probe(const std::string &prefix, std::vector<std::string> options)
{
    return std::make_unique<child_process>(probe_command(std::move(options)),
                                           std::map<std::string, std::string>{{"VEK_SHM_PREFIX", prefix}});
}

void expect_sane_readings(const std::vector<std::map<std::string, std::string>> &samples, const std::string &what)
{
    for (const auto &s : samples) {
        EXPECT_GT(number(s, "now"), number(s, "before") - Sane_s) << what << ": now=" << s.at("now");
        EXPECT_LT(number(s, "now"), number(s, "os") + Sane_s) << what << ": now=" << s.at("now");
    }
}

size_t count_of(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

bool dev_shm_is_sticky()
{
    struct stat st;
    return stat("/dev/shm", &st) == 0 && (st.st_mode & S_ISVTX) != 0;
}

#define REQUIRE_ROOT()                                                                             \
    if (geteuid() != 0)                                                                            \
    GTEST_SKIP() << "needs root to act as other users"

struct untrusted_area {
    const char *what;
    uid_t creator;
    mode_t mode;
    size_t size;
    double ahead_s;
    const char *owner_and_mode; // as the log line names them
};

// The attacks without an owner: every row would set a reader's time or kill
// it if the reader believed the area.
TEST(Untrusted, ReadersKeepTheirOwnTimeLiveOnAndLogOnce)
{
    REQUIRE_ROOT();
    const untrusted_area rows[] = {
        {"another user's live area, a day ahead", Nobody, 0644, CALIBRATION_CONTEXT_SIZE, 86400.0,
         "owner uid 65534, mode 0644"},
        {"another user's area writable by all, an hour ahead", Nobody, 0666, CALIBRATION_CONTEXT_SIZE, 3600.0,
         "owner uid 65534, mode 0666"},
        {"root's area writable by the group", 0, 0664, CALIBRATION_CONTEXT_SIZE, 3600.0, "owner uid 0, mode 0664"},
        {"another user's area of 4096 bytes", Nobody, 0644, 4096, 0.0, "owner uid 65534, mode 0644"},
    };
    std::vector<std::unique_ptr<planter>> planters;
    std::vector<std::unique_ptr<child_process>> readers;
    for (size_t i = 0; i < std::size(rows); ++i) {
        const std::string prefix = unique_prefix(std::to_string(i));
        planters.push_back(std::make_unique<planter>(area_name(prefix), rows[i].creator, rows[i].mode, rows[i].size,
                                                     rows[i].ahead_s));
        ASSERT_TRUE(planters.back()->ready()) << rows[i].what;
        readers.push_back(start_probe(prefix, {"--count-mmap", "--for", "4.5", "--every", "0.1"}));
    }
    for (size_t i = 0; i < std::size(rows); ++i) {
        const untrusted_area &row = rows[i];
        child_process &reader = *readers[i];
        ASSERT_EQ(reader.wait_exit(120), 0) << row.what << ": " << reader.stderr_text();
        auto samples = samples_of(reader);
        ASSERT_GE(samples.size(), 20u) << row.what;
        for (const auto &s : samples)
            EXPECT_EQ(s.at("code"), "3") << row.what;
        expect_sane_readings(samples, row.what);

        auto attempts = samples_of(reader, "mmap_r_at");
        ASSERT_GE(attempts.size(), 2u) << row.what;
        EXPECT_LE(attempts.size(), 3u) << row.what;
        for (size_t a = 1; a < attempts.size(); ++a)
            EXPECT_GE(number(attempts[a], "os") - number(attempts[a - 1], "os"), 1.95) << row.what;

        const std::string err = reader.stderr_text();
        EXPECT_EQ(count_of(err, "untrusted shared memory area"), 1u) << row.what << ": " << err;
        EXPECT_NE(err.find(area_name(unique_prefix(std::to_string(i))) + ", " + row.owner_and_mode),
                  std::string::npos)
            << row.what << ": " << err;
    }
}

// The attack with an owner: the area is planted before the owner starts and
// kept rewritten after.
TEST(Untrusted, AnOwnerReplacesAForeignAreaAndEveryReaderFollowsTheOwner)
{
    REQUIRE_ROOT();
    const std::string prefix = unique_prefix();
    const std::string posix = area_name(prefix);
    planter attacker(posix, Nobody, 0666, CALIBRATION_CONTEXT_SIZE, 3600.0);
    ASSERT_TRUE(attacker.ready());
    const ino_t planted = stat_of(posix).st_ino;

    auto owner = start_probe(prefix, {"--arg", "yaltime_master", "--serve"});
    ASSERT_TRUE(owner->wait_for_line("serving", 60)) << owner->stderr_text();
    EXPECT_NE(owner->stderr_text().find("untrusted shared memory area " + posix), std::string::npos)
        << owner->stderr_text();
    const struct stat st = stat_of(posix);
    EXPECT_NE(st.st_ino, planted);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 07777u, 0644u);
    EXPECT_EQ(st.st_size, CALIBRATION_CONTEXT_SIZE);
    auto owner_samples = samples_of(*owner);
    ASSERT_EQ(owner_samples.size(), 1u);
    EXPECT_EQ(owner_samples[0].at("code"), "1");
    expect_sane_readings(owner_samples, "owner");

    // A reader as root and one as the attacker's own user both read the owner.
    auto reader = start_probe(prefix, {"--for", "1", "--every", "0.2"});
    auto nobody_reader = start_probe(prefix, {"--as-uid", std::to_string(Nobody), "--for", "1", "--every", "0.2"});
    for (auto *r : {reader.get(), nobody_reader.get()}) {
        const std::string what = r == reader.get() ? "reader as root" : "reader as nobody";
        ASSERT_EQ(r->wait_exit(120), 0) << what << ": " << r->stderr_text();
        auto samples = samples_of(*r);
        ASSERT_GE(samples.size(), 3u) << what;
        for (const auto &s : samples) {
            EXPECT_EQ(s.at("code"), "2") << what;
            // The owner's discipline turns its slope by a fraction of a ppm a cycle.
            EXPECT_NEAR(std::stod(s.at("period")) / std::stod(owner_samples[0].at("period")), 1.0, 1e-6) << what;
        }
        expect_sane_readings(samples, what);
    }

    // Nor can the attacker reach the owner's area now.
    const pid_t child = fork();
    if (child == 0) {
        if (!drop_to(Nobody))
            _exit(100);
        if (shm_open(posix.c_str(), O_RDWR, 0) >= 0 || errno != EACCES)
            _exit(1);
        // The sticky /dev/shm refuses (the C library reports EPERM as EACCES).
        if (dev_shm_is_sticky() && (shm_unlink(posix.c_str()) == 0 || (errno != EPERM && errno != EACCES)))
            _exit(2);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(stat_of(posix).st_ino, st.st_ino) << "the owner's area is still there";
}

// An owner running as a user of its own cannot remove another user's area
// from the sticky /dev/shm, and does not adopt it either.
TEST(Untrusted, AnOwnerThatCannotRemoveAForeignAreaStopsWithTheMessage)
{
    REQUIRE_ROOT();
    if (!dev_shm_is_sticky())
        GTEST_SKIP() << "/dev/shm is not sticky here";
    const std::string prefix = unique_prefix();
    planter attacker(area_name(prefix), Nobody, 0666, CALIBRATION_CONTEXT_SIZE, 3600.0);
    ASSERT_TRUE(attacker.ready());
    auto owner = start_probe(prefix, {"--as-uid", std::to_string(Other_user), "--arg", "yaltime_master"});
    const int status = owner->wait_exit(60);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status << owner->stderr_text();
    EXPECT_NE(owner->stderr_text().find("YALTIME: Unable to create yal_time_master shared memory area"),
              std::string::npos)
        << owner->stderr_text();
    EXPECT_EQ(stat_of(area_name(prefix)).st_uid, Nobody);
}

// --- planted objects ------------------------------------------------------------

enum planted_kind { DIRECTORY, DIRECTORY_WITH_ENTRY, SOCKET, FIFO, SYMLINK, DEVICE_NODE, AREA };

struct planted_object {
    const char *what;
    planted_kind kind;
    uid_t planter;
    uid_t reader; // the user of the reader that must ignore it
};

const planted_object Planted_objects[] = {
    {"a directory", DIRECTORY, Other_user, 0},
    {"a directory with an entry", DIRECTORY_WITH_ENTRY, Other_user, 0},
    {"a socket", SOCKET, Other_user, 0},
    {"a FIFO", FIFO, Other_user, 0},
    {"a symbolic link to root's area", SYMLINK, Other_user, 0},
    {"a device node", DEVICE_NODE, Other_user, 0},
    {"another user's live area, a day ahead", AREA, Other_user, 0},
    {"nobody's live area, a day ahead, read by nobody", AREA, Nobody, Nobody},
};

std::string entry_path(const std::string &posix) { return "/dev/shm" + posix; }

// Creates a non-area object under `posix` as user `uid` (a device node is
// made by root and given to the user); true when it is there.
bool plant_object(const std::string &posix, planted_kind kind, uid_t uid, const std::string &link_target)
{
    const std::string path = entry_path(posix);
    if (kind == DEVICE_NODE)
        return mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 && lchown(path.c_str(), uid, uid) == 0;
    /* Made before the fork: the child of a process with threads makes system calls only. */
    const std::string entry = path + "/entry";
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const pid_t child = fork();
    if (child == 0) {
        if (!drop_to(uid))
            _exit(1);
        bool made = false;
        if (kind == DIRECTORY || kind == DIRECTORY_WITH_ENTRY)
            made = mkdir(path.c_str(), 0755) == 0 &&
                   (kind == DIRECTORY || close(open(entry.c_str(), O_CREAT | O_WRONLY, 0644)) == 0);
        else if (kind == FIFO)
            made = mkfifo(path.c_str(), 0666) == 0;
        else if (kind == SYMLINK)
            made = symlink(link_target.c_str(), path.c_str()) == 0;
        else if (kind == SOCKET) {
            const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
            made = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        }
        _exit(made ? 0 : 2);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct stat lstat_of(const std::string &posix)
{
    struct stat st {};
    lstat(entry_path(posix).c_str(), &st);
    return st;
}

// Whatever the tests left under the prefix, planted directories moved aside included.
void remove_everything_under(const std::string &prefix)
{
    for (const auto &entry : std::filesystem::directory_iterator("/dev/shm"))
        if (entry.path().filename().string().find(prefix) != std::string::npos)
            std::filesystem::remove_all(entry.path());
}

// One row per object another local user can put under the name.  None of
// them is used: a reader keeps its own time, yaltime-status calls it
// untrusted, an unprivileged owner may not remove it and stops with the
// message, and a root owner removes it, without following a link or
// touching a directory's contents, and starts.
TEST(Planted, NoObjectMisleadsAReaderOrStopsARootOwner)
{
    REQUIRE_ROOT();
    if (!dev_shm_is_sticky())
        GTEST_SKIP() << "/dev/shm is not sticky here";
    const std::string prefix = unique_prefix();
    const std::string link_target = area_name(prefix + "target_");
    planter roots_area(link_target, 0, 0644, CALIBRATION_CONTEXT_SIZE, 86400.0);
    ASSERT_TRUE(roots_area.ready());

    std::vector<std::unique_ptr<planter>> area_planters;
    std::vector<std::unique_ptr<child_process>> readers, statuses, unprivileged_owners;
    std::vector<struct stat> planted;
    for (size_t i = 0; i < std::size(Planted_objects); ++i) {
        const planted_object &row = Planted_objects[i];
        const std::string row_prefix = prefix + std::to_string(i) + "_";
        if (row.kind == AREA) {
            area_planters.push_back(std::make_unique<planter>(area_name(row_prefix), row.planter, 0644,
                                                              CALIBRATION_CONTEXT_SIZE, 86400.0));
            ASSERT_TRUE(area_planters.back()->ready()) << row.what;
        } else {
            ASSERT_TRUE(plant_object(area_name(row_prefix), row.kind, row.planter, entry_path(link_target)))
                << row.what;
        }
        planted.push_back(lstat_of(area_name(row_prefix)));
        readers.push_back(start_probe(row_prefix, {"--as-uid", std::to_string(row.reader), "--for", "1"}));
        unprivileged_owners.push_back(
            start_probe(row_prefix, {"--as-uid", std::to_string(Owner_user), "--arg", "yaltime_master"}));
        statuses.push_back(std::make_unique<child_process>(
            std::vector<std::string>{Status, "--watch-seconds", "1.5"},
            std::map<std::string, std::string>{{"VEK_SHM_PREFIX", row_prefix}}));
    }

    for (size_t i = 0; i < std::size(Planted_objects); ++i) {
        const planted_object &row = Planted_objects[i];
        const int status = statuses[i]->wait_exit(60);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 5)
            << row.what << ": yaltime-status " << status << "\n" << statuses[i]->lines().size() << " lines, "
            << statuses[i]->stderr_text();

        ASSERT_EQ(readers[i]->wait_exit(120), 0)
            << row.what << ": " << readers[i]->stderr_text() << threads_of(readers[i]->pid());
        const auto samples = samples_of(*readers[i]);
        ASSERT_GE(samples.size(), 2u) << row.what;
        for (const auto &s : samples)
            EXPECT_EQ(s.at("code"), "3") << row.what;
        expect_sane_readings(samples, row.what);

        const int owner_status = unprivileged_owners[i]->wait_exit(60);
        EXPECT_TRUE(WIFSIGNALED(owner_status) && WTERMSIG(owner_status) == SIGABRT)
            << row.what << ": " << owner_status << "\n" << threads_of(unprivileged_owners[i]->pid());
        EXPECT_NE(unprivileged_owners[i]->stderr_text().find(
                      "YALTIME: Unable to create yal_time_master shared memory area"),
                  std::string::npos)
            << row.what << ": " << unprivileged_owners[i]->stderr_text();
        EXPECT_EQ(lstat_of(area_name(prefix + std::to_string(i) + "_")).st_ino, planted[i].st_ino)
            << row.what << ": the unprivileged owner left it";
    }

    for (size_t i = 0; i < std::size(Planted_objects); ++i) {
        const planted_object &row = Planted_objects[i];
        const std::string row_prefix = prefix + std::to_string(i) + "_";
        auto owner = start_probe(row_prefix, {"--arg", "yaltime_master", "--serve"});
        ASSERT_TRUE(owner->wait_for_line("serving", 60)) << row.what << ": " << owner->stderr_text();
        const auto samples = samples_of(*owner);
        ASSERT_EQ(samples.size(), 1u) << row.what;
        EXPECT_EQ(samples[0].at("code"), "1") << row.what;
        expect_sane_readings(samples, row.what);
        EXPECT_EQ(count_of(owner->stderr_text(), "untrusted shared memory area " + area_name(row_prefix)), 1u)
            << row.what << ": " << owner->stderr_text();
        const struct stat now = lstat_of(area_name(row_prefix));
        EXPECT_TRUE(S_ISREG(now.st_mode) && now.st_uid == 0 && (now.st_mode & 07777) == 0644) << row.what;
        EXPECT_NE(now.st_ino, planted[i].st_ino) << row.what << ": replaced";
    }
    EXPECT_EQ(lstat_of(link_target).st_uid, 0u) << "the link's target was not touched";
    size_t entries_kept = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/dev/shm"))
        if (entry.path().filename().string().find(prefix + "1_yal_time_master.planted.") != std::string::npos)
            entries_kept += std::filesystem::exists(entry.path() / "entry") ? 1 : 0;
    EXPECT_EQ(entries_kept, 1u) << "the directory with an entry was moved aside whole";
    remove_everything_under(prefix);
}

} // namespace
