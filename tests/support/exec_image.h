// What a forked child needs to exec a program, all of it prepared before the
// fork.  Between fork and exec the child of a process with threads makes
// system calls only: another thread may have held a lock of the allocator at
// the fork (the sanitizers' allocators do not release theirs in the child),
// and a setenv or a vector there would wait for it forever.
#pragma once

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

extern char **environ;

class exec_image {
public:
    // argv[0] is the program's path.  Each (name, value) of `env` sets that
    // variable; a null value (of a const char *) unsets it.
    template <typename Env> exec_image(const std::vector<std::string> &argv, const Env &env) : args_(argv)
    {
        for (char **e = environ; *e != nullptr; ++e) {
            bool overridden = false;
            for (const auto &[name, value] : env)
                overridden = overridden || (std::strncmp(*e, name.c_str(), name.size()) == 0 && (*e)[name.size()] == '=');
            if (!overridden)
                environment_.emplace_back(*e);
        }
        for (const auto &[name, value] : env)
            if (const char *v = c_str_or_null(value))
                environment_.push_back(name + "=" + v);
        for (std::string &a : args_)
            argv_.push_back(a.data());
        argv_.push_back(nullptr);
        for (std::string &e : environment_)
            envp_.push_back(e.data());
        envp_.push_back(nullptr);
    }

    // In the forked child: the program, or exit status 127.
    [[noreturn]] void exec() const
    {
        execve(argv_[0], argv_.data(), envp_.data());
        _exit(127);
    }

private:
    static const char *c_str_or_null(const std::string &s) { return s.c_str(); }
    static const char *c_str_or_null(const char *s) { return s; }

    std::vector<std::string> args_, environment_;
    std::vector<char *> argv_, envp_;
};
