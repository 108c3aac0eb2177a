#include "tests/support/child_process.h"
#include "tests/support/exec_image.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

child_process::child_process(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env)
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
        close(err[0]);
        image.exec();
    }
    close(out[1]);
    close(err[1]);
    stdout_reader_ = std::thread(&child_process::read_stdout, this, out[0]);
    stderr_reader_ = std::thread(&child_process::read_stderr, this, err[0]);
}

child_process::~child_process()
{
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        kill(pid_, SIGCONT);
        waitpid(pid_, &status_, 0);
    }
    if (stdout_reader_.joinable())
        stdout_reader_.join();
    if (stderr_reader_.joinable())
        stderr_reader_.join();
}

void child_process::read_stdout(int fd)
{
    std::string partial;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        partial.append(buf, static_cast<size_t>(n));
        size_t newline;
        while ((newline = partial.find('\n')) != std::string::npos) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(partial.substr(0, newline));
            partial.erase(0, newline + 1);
        }
    }
    close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    stdout_closed_ = true;
}

void child_process::read_stderr(int fd)
{
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        stderr_.append(buf, static_cast<size_t>(n));
    }
    close(fd);
}

bool child_process::wait_for_line(const std::string &prefix, double timeout_s)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const std::string &line : lines_)
                if (line.rfind(prefix, 0) == 0)
                    return true;
            if (stdout_closed_)
                return false;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int child_process::wait_exit(double timeout_s)
{
    if (reaped_)
        return status_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, &status_, WNOHANG) == pid_) {
            reaped_ = true;
            if (stdout_reader_.joinable())
                stdout_reader_.join();
            if (stderr_reader_.joinable())
                stderr_reader_.join();
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

void child_process::signal(int signo)
{
    if (pid_ > 0 && !reaped_)
        kill(pid_, signo);
}

std::vector<std::string> child_process::lines()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::string child_process::stderr_text()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stderr_;
}

std::map<std::string, std::string> fields_of(const std::string &line)
{
    std::map<std::string, std::string> fields;
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        const size_t equals = word.find('=');
        if (equals != std::string::npos)
            fields[word.substr(0, equals)] = word.substr(equals + 1);
    }
    return fields;
}

std::vector<std::map<std::string, std::string>> samples_of(child_process &p, const std::string &kind)
{
    std::vector<std::map<std::string, std::string>> samples;
    for (const std::string &line : p.lines())
        if (line.rfind(kind + " ", 0) == 0)
            samples.push_back(fields_of(line));
    return samples;
}

double number(const std::map<std::string, std::string> &fields, const std::string &key)
{
    auto it = fields.find(key);
    return it == fields.end() ? std::nan("") : std::stod(it->second);
}

std::string threads_of(pid_t pid)
{
    std::string out;
    std::error_code ec;
    for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream comm(task.path() / "comm"), wchan(task.path() / "wchan");
        std::string name, where;
        std::getline(comm, name);
        std::getline(wchan, where);
        out += "thread " + task.path().filename().string() + " '" + name + "' waits in " + where + "\n";
    }
    return out;
}
