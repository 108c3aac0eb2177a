/*
 * host_test_support.h - helpers shared by the host tests: a fixture owning
 * the process-wide host, a scoped environment variable, a per-test shared
 * memory prefix, and a runner for the vekhost program.
 *
 * Paths of the built libraries and programs come from compile definitions
 * (tests/host/CMakeLists.txt): HOST_FAKE_DIR, HOST_FAKE_ALT_DIR,
 * HOST_FAKE_SOLO_DIR, HOST_VEK_BASE_LIBRARY, HOST_LIB_DIR, HOST_VEKHOST,
 * HOST_YALTIME_LIBRARY.
 */
#ifndef HOST_TEST_SUPPORT_H
#define HOST_TEST_SUPPORT_H

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "host/vek_host.h"
#include "tests/support/exec_image.h"

namespace host_test {

inline std::string fake(const char *stem) { return std::string(HOST_FAKE_DIR) + "/" + stem; }

inline double monotonic_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

/* Sets (or with a null value unsets) an environment variable until the end
 * of the scope. */
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name)
    {
        if (const char *old = getenv(name))
            old_ = std::string(old);
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (old_)
            setenv(name_.c_str(), old_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

/* A VEK_SHM_PREFIX of this process and scope; unlinks the areas named
 * through name() (under any prefix handed out) when it ends. */
class ShmPrefix {
public:
    ShmPrefix() : prefix_(make()), env_("VEK_SHM_PREFIX", prefix_.c_str()) {}
    ~ShmPrefix()
    {
        for (const std::string &n : unlink_)
            shm_unlink(n.c_str());
    }
    const std::string &prefix() const { return prefix_; }
    /* The POSIX name of area `name` under this prefix, unlinked at the end. */
    std::string path(const std::string &name)
    {
        std::string p = "/" + prefix_ + name;
        unlink_.push_back(p);
        return p;
    }
    /* Another prefix, for isolation tests; its areas are unlinked too. */
    std::string other_prefix() { return make(); }
    void unlink_later(const std::string &posix_name) { unlink_.push_back(posix_name); }

private:
    static std::string make()
    {
        static std::atomic<int> counter{0};
        return "vekhost_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_";
    }
    std::string prefix_;
    ScopedEnv env_;
    std::vector<std::string> unlink_;
};

/* Owns the process-wide host for one test; VEK_PLUGIN_PATH is unset unless
 * a test sets it. */
class HostTest : public ::testing::Test {
protected:
    void SetUp() override { vek_host_destroy(); }
    void TearDown() override { vek_host_destroy(); }

    void create(std::vector<const char *> args = {})
    {
        char err[1024];
        ASSERT_EQ(0, vek_host_create(args.data(), args.size(), err, sizeof err)) << err;
    }
    /* Loads and expects success. */
    void load(const std::string &path)
    {
        char err[2048];
        ASSERT_EQ(0, vek_host_load(path.c_str(), err, sizeof err)) << err;
    }
    /* Loads and expects failure; the message. */
    std::string load_error(const std::string &path)
    {
        char err[2048];
        strcpy(err, "(no message)");
        EXPECT_EQ(-1, vek_host_load(path.c_str(), err, sizeof err)) << path << " loaded";
        return err;
    }
    void start()
    {
        char err[2048];
        ASSERT_EQ(0, vek_host_start(err, sizeof err)) << err;
    }
    static std::vector<std::string> components()
    {
        std::vector<std::string> names;
        for (size_t i = 0; i < vek_host_component_count(); ++i)
            names.emplace_back(vek_host_component_name(i));
        return names;
    }
    static std::optional<size_t> index_of(const std::string &component)
    {
        for (size_t i = 0; i < vek_host_component_count(); ++i)
            if (component == vek_host_component_name(i))
                return i;
        return std::nullopt;
    }
    static std::vector<std::string> interfaces(const std::string &component)
    {
        std::vector<std::string> names;
        if (auto i = index_of(component))
            for (size_t k = 0; k < vek_host_interface_count(*i); ++k)
                names.emplace_back(vek_host_interface_name(*i, k));
        return names;
    }

    ScopedEnv plugin_path_{VEK_HOST_PLUGIN_PATH_ENV, nullptr};
};

/* --- running vekhost ------------------------------------------------------- */

struct RunResult {
    int exit_code = -1; /* -1 when killed by a signal or timed out */
    std::string out;
    std::string err;
};

class Child {
public:
    /* Starts argv[0] with argv; env entries are set (or, with a null
     * value, unset) in the child only. */
    Child(const std::vector<std::string> &argv,
          const std::vector<std::pair<std::string, const char *>> &env = {})
    {
        const exec_image image(argv, env);
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            close(out[0]);
            close(out[1]);
            close(err[0]);
            close(err[1]);
            image.exec();
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Child()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
        if (err_ >= 0)
            close(err_);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }
    const std::string &out() const { return out_text_; }
    const std::string &err() const { return err_text_; }

    /* Reads until stdout holds `text`, both pipes close, or the time is up. */
    bool read_until(const std::string &text, double timeout_seconds)
    {
        double deadline = monotonic_now() + timeout_seconds;
        while (out_text_.find(text) == std::string::npos) {
            if (out_ < 0 && err_ < 0)
                return false;
            double left = deadline - monotonic_now();
            if (left <= 0)
                return false;
            pump(static_cast<int>(left * 1000) + 1);
        }
        return true;
    }

    /* Reads to the end and waits for the exit; -1 if killed or too slow. */
    int wait(double timeout_seconds)
    {
        double deadline = monotonic_now() + timeout_seconds;
        while (out_ >= 0 || err_ >= 0) {
            double left = deadline - monotonic_now();
            if (left <= 0) {
                kill(pid_, SIGKILL);
                break;
            }
            pump(static_cast<int>(left * 1000) + 1);
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    void pump(int timeout_ms)
    {
        struct pollfd fds[2];
        int n = 0;
        if (out_ >= 0)
            fds[n++] = {out_, POLLIN, 0};
        if (err_ >= 0)
            fds[n++] = {err_, POLLIN, 0};
        if (poll(fds, n, timeout_ms) <= 0)
            return;
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            bool is_out = fds[i].fd == out_;
            if (got > 0) {
                (is_out ? out_text_ : err_text_).append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                (is_out ? out_ : err_) = -1;
            }
        }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool reaped_ = false;
    std::string out_text_;
    std::string err_text_;
};

inline RunResult run(const std::vector<std::string> &argv,
                     const std::vector<std::pair<std::string, const char *>> &env = {},
                     double timeout_seconds = 60)
{
    Child child(argv, env);
    RunResult r;
    r.exit_code = child.wait(timeout_seconds);
    r.out = child.out();
    r.err = child.err();
    return r;
}

} // namespace host_test

#endif /* HOST_TEST_SUPPORT_H */
