/*
 * vek_base_test.cpp - the base-services component VEK_BASE
 * (lib-vek-vek_base.so), loaded through the host and used for real.
 */
#include <dlfcn.h>
#include <fcntl.h>
#include <math.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/vek_host.h"
#include "host_test_support.h"
#include "interface/vek_base.interface.h"

namespace {

using host_test::fake;
using host_test::HostTest;
using host_test::monotonic_now;
using host_test::ScopedEnv;
using host_test::ShmPrefix;

#define BASE(WORD) VEK_LOOKUP_IF(vek_host_lookup, VEK_BASE_CMP_NAME, VEK_BASE_##WORD)

class HostVekBase : public HostTest {
protected:
    /* A host with the given arguments, VEK_BASE loaded and started. */
    void start_base(std::vector<const char *> args = {})
    {
        create(args);
        load(HOST_VEK_BASE_LIBRARY);
        start();
    }
};

const char *const absent_services[] = {
    "ADDR_TO_SYMBOL",         "GET_ARGC_ARGV",       "INTERFACE_LISTEN",  "LOAD_PLUGIN",
    "LOAD_PLUGIN_BY_NAME",    "LOAD_PLUGIN_GET_HANDLE", "LOAD_PLUGIN_GET_MSG", "LOAD_PLUGIN_START",
    "LOAD_PLUGIN_STATUS",     "LOAD_PLUGIN_WAIT",    "MMAP_REMAP",        "PLUGIN_PRESENT",
    "SYSLOG_VEKERROR"};

bool is_absent(const std::string &word)
{
    for (const char *a : absent_services)
        if (word == a)
            return true;
    return false;
}

TEST_F(HostVekBase, RegistersProvidedServicesInServiceOrderThenLink)
{
    create();
    load(HOST_VEK_BASE_LIBRARY);
    EXPECT_EQ((std::vector<std::string>{"VEK_BASE"}), components());
    std::vector<std::string> expected;
#define EXPECT_ROW(WORD, word)                                                                     \
    if (!is_absent(#WORD))                                                                         \
        expected.push_back("VEK_BASE_" #WORD);
    VEK_BASE_SERVICES(EXPECT_ROW)
#undef EXPECT_ROW
    expected.push_back("VEK_CMP_LINK");
    EXPECT_EQ(expected, interfaces("VEK_BASE"));
    EXPECT_EQ(0u, vek_host_dependency_count(0));

    for (const char *word : absent_services)
        EXPECT_EQ(nullptr, vek_host_lookup("VEK_BASE", ("VEK_BASE_" + std::string(word)).c_str())) << word;
    /* The nine services the component relies on. */
    EXPECT_NE(nullptr, BASE(GET_ARG));
    EXPECT_NE(nullptr, BASE(MMAP_RW));
    EXPECT_NE(nullptr, BASE(MMAP_R));
    EXPECT_NE(nullptr, BASE(MEMSET));
    EXPECT_NE(nullptr, BASE(FAIL));
    EXPECT_NE(nullptr, BASE(SLEEP));
    EXPECT_NE(nullptr, BASE(SYSLOG_ERROR));
    EXPECT_NE(nullptr, BASE(SNPRINTF));
    EXPECT_NE(nullptr, BASE(THREADSCHED_START));
}

TEST_F(HostVekBase, ExportsOnlyItsRegistration)
{
    create();
    load(HOST_VEK_BASE_LIBRARY);
    void *dl = vek_host_library_handle("VEK_BASE");
    ASSERT_NE(nullptr, dl);
    EXPECT_NE(nullptr, dlsym(dl, "vek_component_registration"));
    EXPECT_EQ(nullptr, dlsym(dl, "func_VEK_BASE_SLEEP"));
    EXPECT_EQ(nullptr, dlsym(dl, "func_VEK_CMP_LINK"));
}

/* --- shared memory ------------------------------------------------------------ */

TEST_F(HostVekBase, MmapRoundTripAcrossMappingsWithPrefix)
{
    ShmPrefix shm;
    start_base();
    auto mmap_rw = BASE(MMAP_RW);
    auto mmap_r = BASE(MMAP_R);
    auto unmap = BASE(MMAP_UNMAP);
    char name[] = "yal_time_master";
    const std::string posix = shm.path(name);

    auto *w = static_cast<unsigned char *>(mmap_rw(name, 16408));
    ASSERT_NE(nullptr, w);
    for (int i = 0; i < 16408; ++i)
        w[i] = static_cast<unsigned char>(i * 7);

    /* The area exists under the prefixed name, with the asked size. */
    int fd = shm_open(posix.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0) << posix;
    struct stat st;
    ASSERT_EQ(0, fstat(fd, &st));
    EXPECT_EQ(16408, st.st_size);
    close(fd);

    /* A second read-write mapping of the same name sees the same bytes. */
    auto *w2 = static_cast<unsigned char *>(mmap_rw(name, 16408));
    ASSERT_NE(nullptr, w2);
    EXPECT_NE(w, w2);
    EXPECT_EQ(0, memcmp(w, w2, 16408));

    long size = -1;
    auto *r = static_cast<const unsigned char *>(mmap_r(name, &size));
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(16408, size);
    EXPECT_EQ(0, memcmp(w, r, 16408));

    /* Later writes show through every mapping. */
    w2[100] = 0xA5;
    EXPECT_EQ(0xA5, r[100]);
    EXPECT_EQ(0xA5, w[100]);

    unmap(name, 16408, w);
    unmap(name, 16408, w2);
    unmap(name, size, const_cast<unsigned char *>(r));
    /* Unmapping leaves the area itself. */
    long again = 0;
    void *r2 = mmap_r(name, &again);
    EXPECT_NE(nullptr, r2);
    EXPECT_EQ(16408, again);
    unmap(name, again, r2);
}

TEST_F(HostVekBase, MmapRwCreatesMode0644WhateverTheUmask)
{
    ShmPrefix shm;
    start_base();
    char name[] = "mode_check";
    const std::string posix = shm.path(name);
    mode_t old = umask(077);
    void *p = BASE(MMAP_RW)(name, 4096);
    umask(old);
    ASSERT_NE(nullptr, p);
    int fd = shm_open(posix.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(0, fstat(fd, &st));
    close(fd);
    EXPECT_EQ(0644u, st.st_mode & 07777u);
    BASE(MMAP_UNMAP)(name, 4096, p);
}

TEST_F(HostVekBase, MmapRwResizesAnExistingArea)
{
    ShmPrefix shm;
    start_base();
    char name[] = "resize";
    shm.path(name);
    void *small = BASE(MMAP_RW)(name, 100);
    ASSERT_NE(nullptr, small);
    void *big = BASE(MMAP_RW)(name, 8192);
    ASSERT_NE(nullptr, big);
    long size = 0;
    void *r = BASE(MMAP_R)(name, &size);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(8192, size);
    BASE(MMAP_UNMAP)(name, 100, small);
    BASE(MMAP_UNMAP)(name, 8192, big);
    BASE(MMAP_UNMAP)(name, size, r);
}

TEST_F(HostVekBase, MmapRMissingOrEmptyGivesNull)
{
    ShmPrefix shm;
    start_base();
    char missing[] = "no_such_area";
    long size = 1234;
    EXPECT_EQ(nullptr, BASE(MMAP_R)(missing, &size));

    /* A zero-size area counts as unmappable. */
    char empty[] = "empty_area";
    int fd = shm_open(shm.path(empty).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(nullptr, BASE(MMAP_R)(empty, &size));

    /* Names and sizes that cannot work. */
    EXPECT_EQ(nullptr, BASE(MMAP_R)(nullptr, &size));
    char blank[] = "";
    EXPECT_EQ(nullptr, BASE(MMAP_RW)(blank, 4096));
    char bad_size[] = "bad_size";
    shm.path(bad_size);
    EXPECT_EQ(nullptr, BASE(MMAP_RW)(bad_size, 0));
    EXPECT_EQ(nullptr, BASE(MMAP_RW)(bad_size, -5));
    EXPECT_EQ(nullptr, BASE(MMAP_R)(bad_size, &size)) << "a refused mmap_rw creates nothing";
}

TEST_F(HostVekBase, PrefixesKeepAreasApart)
{
    ShmPrefix shm;
    start_base();
    char name[] = "shared_name";
    shm.path(name);
    auto *mine = static_cast<char *>(BASE(MMAP_RW)(name, 64));
    ASSERT_NE(nullptr, mine);
    strcpy(mine, "mine");

    std::string other = shm.other_prefix();
    shm.unlink_later("/" + other + name);
    {
        ScopedEnv env("VEK_SHM_PREFIX", other.c_str());
        long size = 0;
        EXPECT_EQ(nullptr, BASE(MMAP_R)(name, &size)) << "nothing under the other prefix yet";
        auto *theirs = static_cast<char *>(BASE(MMAP_RW)(name, 64));
        ASSERT_NE(nullptr, theirs);
        strcpy(theirs, "theirs");
        BASE(MMAP_UNMAP)(name, 64, theirs);
    }
    EXPECT_STREQ("mine", mine);
    BASE(MMAP_UNMAP)(name, 64, mine);
}

/* --- sleeping ------------------------------------------------------------------ */

TEST_F(HostVekBase, SleepOfNothingReturnsAtOnce)
{
    start_base();
    auto sleep = BASE(SLEEP);
    double t0 = monotonic_now();
    sleep(0.0);
    sleep(-1.0);
    sleep(-std::numeric_limits<double>::infinity());
    sleep(std::numeric_limits<double>::quiet_NaN());
    sleep(1e-12);
    EXPECT_LT(monotonic_now() - t0, 1.0);
}

TEST_F(HostVekBase, FractionalSleepLastsAtLeastItsTime)
{
    start_base();
    auto sleep = BASE(SLEEP);
    for (double s : {0.0001, 0.0105, 0.05}) {
        double t0 = monotonic_now();
        sleep(s);
        EXPECT_GE(monotonic_now() - t0, s) << s;
    }
}

std::atomic<int> usr1_count{0};
std::atomic<bool> interrupter_done{false};
pthread_t sleeper_thread;
void on_usr1(int) { usr1_count.fetch_add(1); }

void *interrupter(void *)
{
    for (int i = 0; i < 3; ++i) {
        struct timespec gap = {0, 40000000};
        nanosleep(&gap, nullptr);
        pthread_kill(sleeper_thread, SIGUSR1);
    }
    interrupter_done = true;
    return nullptr;
}

/* Sleeps 0.25 s while another thread signals this one three times; exits 0
 * if the sleep lasted its time and the signals came, else 1.  No join after
 * the signals: under qemu-user (how the i386 build runs here) a thread that
 * ran a signal handler can no longer pthread_join. */
void sleep_through_signals(VEK_BASE_SLEEP_T sleep)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_usr1; /* no SA_RESTART: the sleep sees EINTR */
    if (sigaction(SIGUSR1, &sa, nullptr) != 0)
        _exit(2);
    sleeper_thread = pthread_self();
    pthread_t t;
    if (pthread_create(&t, nullptr, interrupter, nullptr) != 0)
        _exit(3);
    pthread_detach(t);
    double t0 = monotonic_now();
    sleep(0.25);
    double slept = monotonic_now() - t0;
    while (!interrupter_done)
        sched_yield();
    fprintf(stderr, "slept %.6f s, %d signals\n", slept, usr1_count.load());
    _exit(slept >= 0.25 && usr1_count.load() == 3 ? 0 : 1);
}

TEST_F(HostVekBase, SleepResumesAfterSignals)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    start_base();
    auto sleep = BASE(SLEEP);
    /* In a child process of its own. */
    EXPECT_EXIT(sleep_through_signals(sleep), testing::ExitedWithCode(0), " s, 3 signals");
}

TEST_F(HostVekBase, EndlessSleepNeitherReturnsNorOverflows)
{
    start_base();
    auto sleep = BASE(SLEEP);
    static std::atomic<int> returned{0};
    returned = 0;
    for (double s : {std::numeric_limits<double>::infinity(), 1e300, 9.3e18}) {
        std::thread([sleep, s] {
            sleep(s);
            returned.fetch_add(1);
        }).detach(); /* sleeps until the test process ends */
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(0, returned.load());
}

/* --- threads ------------------------------------------------------------------ */

struct ThreadProbe {
    std::mutex mutex;
    std::condition_variable cv;
    bool ran = false;
    int argument = 0;
    char name[32] = {};
};

void *probe_thread(void *p)
{
    auto *probe = static_cast<ThreadProbe *>(p);
    std::lock_guard<std::mutex> lock(probe->mutex);
    pthread_getname_np(pthread_self(), probe->name, sizeof probe->name);
    probe->argument = 42;
    probe->ran = true;
    probe->cv.notify_all();
    return nullptr;
}

TEST_F(HostVekBase, ThreadschedStartRunsNamedThread)
{
    start_base();
    auto start_thread = BASE(THREADSCHED_START);
    for (const char *name : {"TSCtime", "a_very_long_thread_name_indeed"}) {
        ThreadProbe probe;
        std::string n(name);
        EXPECT_EQ(0, start_thread(probe_thread, &probe, n.data()));
        std::unique_lock<std::mutex> lock(probe.mutex);
        ASSERT_TRUE(probe.cv.wait_for(lock, std::chrono::seconds(10), [&] { return probe.ran; }));
        EXPECT_EQ(42, probe.argument);
        EXPECT_EQ(std::string(name).substr(0, 15), probe.name);
    }
}

/* --- formatting and memory ----------------------------------------------------- */

TEST_F(HostVekBase, SnprintfTruncatesAndCounts)
{
    start_base();
    auto snprintf_ = BASE(SNPRINTF);
    char buf[16];
    EXPECT_EQ(11, snprintf_(buf, 8, "%s-%d", "hello", 12345));
    EXPECT_STREQ("hello-1", buf);
    EXPECT_EQ(11, snprintf_(buf, sizeof buf, "%s-%d", "hello", 12345));
    EXPECT_STREQ("hello-12345", buf);
    memset(buf, 'z', sizeof buf);
    EXPECT_EQ(3, snprintf_(buf, 0, "%d", 123));
    EXPECT_EQ(3, snprintf_(buf, -4, "%d", 123));
    EXPECT_EQ('z', buf[0]) << "nothing written for buflen <= 0";
    EXPECT_EQ(4, snprintf_(nullptr, 0, "%.2f", 1.0 / 3));
    EXPECT_EQ(1, snprintf_(buf, 1, "x"));
    EXPECT_EQ('\0', buf[0]);
}

TEST_F(HostVekBase, MemsetFills)
{
    start_base();
    auto memset_ = BASE(MEMSET);
    unsigned char bytes[32];
    memset(bytes, 0, sizeof bytes);
    memset_(bytes + 1, static_cast<char>(0xAB), 30);
    EXPECT_EQ(0, bytes[0]);
    for (int i = 1; i <= 30; ++i)
        EXPECT_EQ(0xAB, bytes[i]);
    EXPECT_EQ(0, bytes[31]);
    memset_(bytes, 1, 0);
    memset_(bytes, 1, -1);
    EXPECT_EQ(0, bytes[0]);
}

TEST_F(HostVekBase, PlainLibcServices)
{
    start_base();
    char text[32] = "hello";
    char *copy = BASE(STRDUP)(text);
    ASSERT_NE(nullptr, copy);
    EXPECT_STREQ("hello", copy);
    EXPECT_EQ(5u, BASE(STRLEN)(copy));
    EXPECT_EQ(0, BASE(STRCMP)(copy, "hello"));
    EXPECT_LT(BASE(STRCMP)("a", "b"), 0);
    BASE(FREE)(copy);

    char to[32];
    EXPECT_EQ(to, BASE(STRCPY)(to, "abc"));
    EXPECT_STREQ("abc", to);
    memset(to, 'q', sizeof to);
    BASE(STRNCPY)(to, "xy", 4);
    EXPECT_EQ(0, memcmp(to, "xy\0\0q", 5));

    char list[] = "a,b";
    char *cursor = list;
    EXPECT_STREQ("a", BASE(STRSEP)(&cursor, ","));
    EXPECT_STREQ("b", BASE(STRSEP)(&cursor, ","));
    EXPECT_EQ(nullptr, cursor);

    char buf[32];
    EXPECT_EQ(4, BASE(SPRINTF)(buf, "%04d", 7));
    EXPECT_STREQ("0007", buf);

    unsigned char a[4] = {1, 2, 3, 4}, b[4] = {1, 2, 9, 4};
    EXPECT_EQ(0, BASE(COMPARE)(a, b, 2));
    EXPECT_LT(BASE(COMPARE)(a, b, 4), 0);
    BASE(COPY)(b, a, 4);
    EXPECT_EQ(0, memcmp(a, b, 4));

    auto *zero = static_cast<unsigned char *>(BASE(MALLOC_ZERO)(64));
    ASSERT_NE(nullptr, zero);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(0, zero[i]);
    BASE(FREE)(zero);
    void *m = BASE(MALLOC)(16);
    EXPECT_NE(nullptr, m);
    BASE(FREE)(m);

    EXPECT_EQ(static_cast<int>(getpid()), BASE(GETPID)());
    EXPECT_EQ(1, BASE(ISNAN)(std::numeric_limits<double>::quiet_NaN()));
    EXPECT_EQ(0, BASE(ISNAN)(1.0));
    EXPECT_EQ(1, BASE(ISINF)(-std::numeric_limits<double>::infinity()));
    EXPECT_EQ(0, BASE(ISINF)(1.0));
    EXPECT_STREQ("1f", BASE(HEX_FROM_ULL)(31));
    EXPECT_STREQ("ffffffffffffffff", BASE(HEX_FROM_ULL)(~0ULL));
    EXPECT_EQ(0xdeadbeefcafeULL, BASE(HEX_TO_ULL)("deadbeefcafe"));
    EXPECT_EQ(255ULL, BASE(HEX_TO_ULL)("0xff"));
    BASE(SCHED_YIELD)();

    void *frames[8];
    EXPECT_GT(BASE(BACKTRACE)(frames, 8), 0);
}

TEST_F(HostVekBase, HexFromUllBufferIsPerThread)
{
    start_base();
    auto hex = BASE(HEX_FROM_ULL);
    const char *mine = hex(0xabc);
    std::thread([hex] { hex(0x123456); }).join();
    EXPECT_STREQ("abc", mine);
}

TEST_F(HostVekBase, SemaphoresBlockAndRelease)
{
    start_base();
    auto sem = BASE(SEMAPHORE_INIT)(1);
    ASSERT_NE(nullptr, sem);
    BASE(SEMAPHORE_WAIT)(sem); /* the one count */
    std::atomic<bool> released{false};
    auto wait = BASE(SEMAPHORE_WAIT);
    std::thread waiter([&] {
        wait(sem);
        released = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(released.load());
    BASE(SEMAPHORE_POST)(sem);
    waiter.join();
    EXPECT_TRUE(released.load());
    BASE(SEMAPHORE_DESTROY)(sem);
}

TEST_F(HostVekBase, LookupServiceIsTheHostsLookup)
{
    start_base();
    auto lookup = BASE(LOOKUP);
    EXPECT_EQ(reinterpret_cast<void *>(BASE(SLEEP)), lookup("VEK_BASE", "VEK_BASE_SLEEP"));
    EXPECT_EQ(nullptr, lookup("VEK_BASE", "VEK_BASE_NOTHING"));
}

/* --- arguments, logging, failure ------------------------------------------------ */

TEST_F(HostVekBase, GetArgSeesTheHostArguments)
{
    start_base({"yaltime_master"});
    char present[] = "yaltime_master";
    char absent[] = "yaltime_local";
    EXPECT_NE(nullptr, BASE(GET_ARG)(present));
    EXPECT_EQ(nullptr, BASE(GET_ARG)(absent));
}

TEST_F(HostVekBase, GetArgWithoutArguments)
{
    start_base();
    char name[] = "yaltime_master";
    EXPECT_EQ(nullptr, BASE(GET_ARG)(name));
}

TEST_F(HostVekBase, SyslogErrorWritesToStderr)
{
    start_base();
    testing::internal::CaptureStderr();
    BASE(SYSLOG_ERROR)("YALTIME: test message %d", 17);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("YALTIME: test message 17\n", err);
}

TEST_F(HostVekBase, PrintfWritesToStdout)
{
    start_base();
    testing::internal::CaptureStdout();
    int n = BASE(PRINTF)("%s=%d\n", "x", 5);
    fflush(stdout);
    EXPECT_EQ(4, n);
    EXPECT_EQ("x=5\n", testing::internal::GetCapturedStdout());
}

TEST_F(HostVekBase, FailAbortsWithTheMessage)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    start_base();
    auto fail = BASE(FAIL);
    EXPECT_EXIT(fail("YALTIME: cannot map %s (%d)", "yal_time_master", 16408), testing::KilledBySignal(SIGABRT),
                "YALTIME: cannot map yal_time_master \\(16408\\)");
}

/* --- a client wrapped by an overridden base service ---------------------------- */

std::vector<double> slept;
VEK_BASE_SLEEP_T real_sleep;
void recording_sleep(double seconds)
{
    slept.push_back(seconds);
    real_sleep(seconds);
}

TEST_F(HostVekBase, OverriddenServiceReachesTheClient)
{
    ScopedEnv path(VEK_HOST_PLUGIN_PATH_ENV, HOST_LIB_DIR);
    create({"fake_hello"});
    load(fake("lib-vek-fake_base_user.so"));
    EXPECT_EQ((std::vector<std::string>{"FAKE_BASE_USER", "VEK_BASE"}), components());
    EXPECT_EQ(std::string(HOST_VEK_BASE_LIBRARY), vek_host_component_library(1));
    void *previous = nullptr;
    char err[512];
    ASSERT_EQ(0, vek_host_override("VEK_BASE", "VEK_BASE_SLEEP", reinterpret_cast<void *>(recording_sleep),
                                   &previous, err, sizeof err))
        << err;
    real_sleep = reinterpret_cast<VEK_BASE_SLEEP_T>(previous);
    slept.clear();
    testing::internal::CaptureStdout();
    start();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ((std::vector<double>{0.001}), slept);
    EXPECT_EQ("FAKE_BASE_USER started arg=yes\n", out);
}

/* --- who may be believed: areas of other users ------------------------------------ */

constexpr uid_t NOBODY = 65534;
constexpr uid_t OTHER_USER = 65533; /* an unprivileged user with no name */

/* `posix` created as this process's user with `size` bytes of 0x5A, then given
 * to `uid` with `mode`.  Needs root for any uid but its own. */
void plant_area(const std::string &posix, uid_t uid, mode_t mode, size_t size)
{
    int fd = shm_open(posix.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0) << posix;
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(size)));
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(MAP_FAILED, p);
    memset(p, 0x5A, size);
    munmap(p, size);
    ASSERT_EQ(0, fchown(fd, uid, uid));
    ASSERT_EQ(0, fchmod(fd, mode));
    close(fd);
}

struct stat stat_of(const std::string &posix)
{
    struct stat st;
    memset(&st, 0, sizeof st);
    int fd = shm_open(posix.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW, 0);
    if (fd >= 0) {
        fstat(fd, &st);
        close(fd);
    }
    return st;
}

bool dev_shm_is_sticky()
{
    struct stat st;
    return stat("/dev/shm", &st) == 0 && (st.st_mode & S_ISVTX) != 0;
}

/* Runs `body` in a child process that first drops to user and group `id`;
 * the child's exit status, 100 if it could not drop. */
template <typename Body> int as_user(uid_t id, Body body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0)
            _exit(100);
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#define REQUIRE_ROOT()                                                                             \
    if (geteuid() != 0)                                                                            \
    GTEST_SKIP() << "needs root to hand areas to other users"

struct planted {
    const char *what;
    uid_t uid;
    mode_t mode;
    size_t size;
    bool trusted;
};

const planted planted_areas[] = {
    {"another user's", NOBODY, 0644, 16408, false},
    {"another user's, wrong size", NOBODY, 0644, 4096, false},
    {"another user's, private", OTHER_USER, 0600, 16408, false},
    {"root's, group-writable", 0, 0664, 16408, false},
    {"root's, other-writable", 0, 0646, 16408, false},
    {"root's, writable by all", 0, 0666, 16408, false},
    {"root's, group write only", 0, 0620, 16408, false},
    {"root's", 0, 0644, 16408, true},
    {"root's, private", 0, 0600, 16408, true},
    {"root's, read-only", 0, 0444, 16408, true},
};

/* A component's thread: one sleep, then done. */
static void *sleep_once(void *slept)
{
    BASE(SLEEP)(0.0);
    static_cast<std::atomic<bool> *>(slept)->store(true);
    return nullptr;
}

TEST_F(HostVekBase, MmapRMapsOnlyTrustedAreasAndLogsTheFirstRefusalOnly)
{
    REQUIRE_ROOT();
    ShmPrefix shm;
    start_base();
    testing::internal::CaptureStderr();
    int row = 0;
    for (const planted &a : planted_areas) {
        char name[32];
        snprintf(name, sizeof name, "area_%d", row++);
        plant_area(shm.path(name), a.uid, a.mode, a.size);
        long size = -1;
        void *p = BASE(MMAP_R)(name, &size);
        EXPECT_EQ(a.trusted, p != nullptr) << a.what;
        EXPECT_EQ(a.trusted ? static_cast<long>(a.size) : 0, size) << a.what;
        if (p != nullptr) {
            EXPECT_EQ(0x5A, static_cast<const unsigned char *>(p)[0]) << a.what;
            BASE(MMAP_UNMAP)(name, size, p);
        }
    }
    /* Objects that are no area at all, under the name itself: a FIFO would
     * block a reader that opened it without O_NONBLOCK. */
    char fifo[] = "fifo_area", dir[] = "dir_area";
    ASSERT_EQ(0, mkfifo(("/dev/shm" + shm.path(fifo)).c_str(), 0600));
    ASSERT_EQ(0, mkdir(("/dev/shm" + shm.path(dir)).c_str(), 0700));
    long size = -1;
    EXPECT_EQ(nullptr, BASE(MMAP_R)(fifo, &size));
    EXPECT_EQ(nullptr, BASE(MMAP_R)(dir, &size));
    EXPECT_EQ(0, size);
    rmdir(("/dev/shm" + shm.path(dir)).c_str());

    EXPECT_EQ("", testing::internal::GetCapturedStderr()) << "the thread that maps says nothing";

    /* A thread of a component says it when it sleeps. */
    testing::internal::CaptureStderr();
    std::atomic<bool> slept{false};
    char thread_name[] = "sleeper";
    ASSERT_EQ(0, BASE(THREADSCHED_START)(sleep_once, &slept, thread_name));
    while (!slept.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ("VEK_BASE: untrusted shared memory area " + shm.path("area_0") +
                  ", owner uid 65534, mode 0644: owned by the overflow user 65534, which nobody may trust; "
                  "not mapped\n",
              testing::internal::GetCapturedStderr())
        << "one line a minute at most, naming the area, its owner's uid and its mode";
}

TEST_F(HostVekBase, MmapRwReplacesAnUntrustedAreaAndReusesATrustedOne)
{
    REQUIRE_ROOT();
    ShmPrefix shm;
    start_base();
    int row = 0;
    for (const planted &a : planted_areas) {
        char name[32];
        snprintf(name, sizeof name, "own_%d", row++);
        const std::string posix = shm.path(name);
        plant_area(posix, a.uid, a.mode, a.size);
        /* What the planter keeps writing through. */
        int fd = shm_open(posix.c_str(), O_RDWR, 0);
        ASSERT_GE(fd, 0);
        auto *theirs = static_cast<unsigned char *>(mmap(nullptr, a.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        close(fd);
        ASSERT_NE(MAP_FAILED, theirs);
        const struct stat before = stat_of(posix);

        testing::internal::CaptureStderr();
        mode_t old = umask(077);
        auto *mine = static_cast<unsigned char *>(BASE(MMAP_RW)(name, 16408));
        umask(old);
        testing::internal::GetCapturedStderr();
        ASSERT_NE(nullptr, mine) << a.what;
        const struct stat after = stat_of(posix);
        EXPECT_TRUE(S_ISREG(after.st_mode)) << a.what;
        EXPECT_EQ(16408, after.st_size) << a.what;
        if (a.trusted) {
            EXPECT_EQ(before.st_ino, after.st_ino) << a.what << ": reused";
            EXPECT_EQ(a.mode, after.st_mode & 07777u) << a.what;
            EXPECT_EQ(0x5A, mine[0]) << a.what;
        } else {
            EXPECT_NE(before.st_ino, after.st_ino) << a.what << ": replaced";
            EXPECT_EQ(geteuid(), after.st_uid) << a.what;
            EXPECT_EQ(0644u, after.st_mode & 07777u) << a.what;
            EXPECT_EQ(0, mine[0]) << a.what << ": a fresh object";
            theirs[0] = 0xEE;
            EXPECT_EQ(0, mine[0]) << a.what << ": the planter's writes no longer reach the area";
        }
        munmap(theirs, a.size);
        BASE(MMAP_UNMAP)(name, 16408, mine);
    }

    /* A FIFO under the name is removed too. */
    char fifo[] = "own_fifo";
    ASSERT_EQ(0, mkfifo(("/dev/shm" + shm.path(fifo)).c_str(), 0666));
    testing::internal::CaptureStderr();
    void *p = BASE(MMAP_RW)(fifo, 16408);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(nullptr, p);
    EXPECT_TRUE(S_ISREG(stat_of(shm.path(fifo)).st_mode));
    BASE(MMAP_UNMAP)(fifo, 16408, p);
}

/* Unprivileged processes against root's area, and an unprivileged owner
 * against another user's area in the sticky /dev/shm. */
TEST_F(HostVekBase, UnprivilegedUsersReadRootsAreaButCannotTakeIt)
{
    REQUIRE_ROOT();
    if (!dev_shm_is_sticky())
        GTEST_SKIP() << "/dev/shm is not sticky here";
    ShmPrefix shm;
    start_base();
    auto mmap_rw = BASE(MMAP_RW);
    auto mmap_r = BASE(MMAP_R);
    char name[] = "roots_area";
    const std::string posix = shm.path(name);
    auto *roots = static_cast<unsigned char *>(mmap_rw(name, 16408));
    ASSERT_NE(nullptr, roots);
    roots[0] = 0x42;

    EXPECT_EQ(0, as_user(NOBODY, [&] {
        long size = 0;
        auto *r = static_cast<const unsigned char *>(mmap_r(name, &size));
        if (r == nullptr || size != 16408 || r[0] != 0x42)
            return 1; /* root's area is trusted by everyone */
        if (shm_open(posix.c_str(), O_RDWR, 0) >= 0 || errno != EACCES)
            return 2;
        if (mmap_rw(name, 16408) != nullptr)
            return 3; /* neither opened for writing nor removed */
        return 0;
    }));
    const struct stat st = stat_of(posix);
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(16408, st.st_size);
    EXPECT_EQ(0x42, roots[0]) << "root's area untouched";
    BASE(MMAP_UNMAP)(name, 16408, roots);

    /* An owner running as a user of its own cannot remove nobody's area. */
    char foreign[] = "nobodys_area";
    plant_area(shm.path(foreign), NOBODY, 0644, 16408);
    EXPECT_EQ(0, as_user(OTHER_USER, [&] { return mmap_rw(foreign, 16408) == nullptr ? 0 : 1; }));
    EXPECT_EQ(NOBODY, stat_of(shm.path(foreign)).st_uid);
}

} // namespace
