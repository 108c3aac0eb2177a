/*
 * tool_runner.h - runs a tool as a child process for the tests: its output,
 * its exit status, a VEK_SHM_PREFIX of the test's own, and a shared area
 * that a test lays out by hand.
 */
#ifndef YALTIME_TESTS_TOOL_RUNNER_H
#define YALTIME_TESTS_TOOL_RUNNER_H

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/exec_image.h"
#include "time/tsci2_loopfilter.h"

namespace tool_test {

struct run_result {
    int exit_code = -1; /* -1: killed or did not exit */
    std::string out;
    std::string err;
};

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

/* A directory of this test's own under the build's temporary area, removed at the end. */
class temp_dir {
public:
    temp_dir()
    {
        char pattern[] = "/tmp/yaltime_tools_test_XXXXXX";
        path_ = mkdtemp(pattern) ? pattern : "/tmp";
    }
    ~temp_dir()
    {
        const std::string command = "rm -rf '" + path_ + "'";
        if (path_ != "/tmp" && system(command.c_str()) != 0) {
        }
    }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

/*
 * Runs argv[0] with the arguments, environment variables set (value) or
 * unset (null), and stops it after timeout_s.
 */
inline run_result run(const std::vector<std::string> &argv,
                      const std::vector<std::pair<std::string, const char *>> &env = {}, double timeout_s = 120)
{
    temp_dir dir;
    const std::string out_path = dir.file("out"), err_path = dir.file("err");
    const exec_image image(argv, env);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        image.exec();
    }
    run_result r;
    int status = 0;
    const int polls = static_cast<int>(timeout_s * 100);
    for (int i = 0; i <= polls; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (i == polls) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        usleep(10000);
    }
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}

/* A VEK_SHM_PREFIX unique to this process and call; the area under it is unlinked at the end. */
class shm_prefix {
public:
    shm_prefix()
    {
        static std::atomic<int> counter{0};
        prefix_ = "yaltime_tools_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_";
    }
    ~shm_prefix() { shm_unlink(area_name().c_str()); }
    const char *prefix() const { return prefix_.c_str(); }
    std::string area_name() const { return "/" + prefix_ + "yal_time_master"; }
    std::pair<std::string, const char *> env() const { return {"VEK_SHM_PREFIX", prefix_.c_str()}; }

private:
    std::string prefix_;
};

/* A hand-made shared area of any size, writable by the test. */
class fake_area {
public:
    fake_area(const std::string &name, size_t size_bytes) : size_(size_bytes)
    {
        const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            return;
        if (ftruncate(fd, static_cast<off_t>(size_bytes)) == 0 && size_bytes > 0) {
            void *p = mmap(nullptr, size_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            base_ = p == MAP_FAILED ? nullptr : p;
        }
        close(fd);
    }
    ~fake_area()
    {
        if (base_)
            munmap(base_, size_);
    }
    bool ok() const { return base_ != nullptr; }
    calibration_context_t *context() const { return static_cast<calibration_context_t *>(base_); }
    /* The heartbeat, written as the owner's discipline thread does. */
    void beat() const
    {
        std::atomic_ref<int32_t> activity(context()->activity);
        activity.store(activity.load() + 1, std::memory_order_release);
    }

private:
    size_t size_;
    void *base_ = nullptr;
};

} // namespace tool_test

#endif /* YALTIME_TESTS_TOOL_RUNNER_H */
