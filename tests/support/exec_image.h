// A command line made before a fork, which sets (or, for a null value,
// unsets) environment variables through env(1): the child of a process with
// threads may only make system calls until exec, since a sanitizer's
// allocator keeps its locks across a fork and a setenv there can hang.
#pragma once
#include <unistd.h>
#include <string>
#include <vector>

class exec_image {
public:
    template <typename Env> exec_image(const std::vector<std::string> &argv, const Env &env) : args_{"/usr/bin/env"}
    {
        for (const auto &[name, value] : env)
            if (const char *v = c_str(value))
                args_.push_back(name + "=" + v);
            else
                args_.insert(args_.begin() + 1, {"-u", name});
        args_.insert(args_.end(), argv.begin(), argv.end());
        for (std::string &a : args_)
            argv_.push_back(a.data());
        argv_.push_back(nullptr);
    }
    [[noreturn]] void exec() const
    {
        execv(argv_[0], argv_.data());
        _exit(127);
    }

private:
    static const char *c_str(const std::string &s) { return s.c_str(); }
    static const char *c_str(const char *s) { return s; }
    std::vector<std::string> args_;
    std::vector<char *> argv_;
};
