// Runs a program as a child process with extra environment variables and
// collects its stdout lines and stderr text; it can be killed, stopped and
// continued.  Used by the multi-process tests.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class child_process {
public:
    child_process(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env);
    ~child_process();
    child_process(const child_process &) = delete;
    child_process &operator=(const child_process &) = delete;

    // Waits until a stdout line starts with `prefix`; false on timeout or exit.
    bool wait_for_line(const std::string &prefix, double timeout_s);
    // Waits for the process to end; returns the raw wait status, or -1 on timeout.
    int wait_exit(double timeout_s);
    void signal(int signo);

    std::vector<std::string> lines();
    std::string stderr_text();
    pid_t pid() const { return pid_; }

private:
    void read_stdout(int fd);
    void read_stderr(int fd);

    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::string stderr_;
    bool stdout_closed_ = false;
    std::thread stdout_reader_;
    std::thread stderr_reader_;
};

// Key=value fields of a probe line such as "sample os=1.5 code=2".
std::map<std::string, std::string> fields_of(const std::string &line);

// The fields of each of p's stdout lines of the given kind ("sample os=...").
std::vector<std::map<std::string, std::string>> samples_of(child_process &p, const std::string &kind = "sample");

// A field as a number; NaN when it is missing.
double number(const std::map<std::string, std::string> &fields, const std::string &key);

// Each thread of process `pid` and where it waits, for a failure's message.
std::string threads_of(pid_t pid);
