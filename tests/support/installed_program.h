// Whether a program that a test starts (strace, nm, readelf, ...) is
// installed: found as an executable in a directory of PATH, as the shell
// would find it.  A test checks first and fails with a message naming the
// missing program, rather than on a comparison of the output it never gave.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

[[maybe_unused]] bool installed(const std::string &program)
{
    const char *path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        if (access((dir + "/" + program).c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

[[maybe_unused]] std::string not_installed_message(const std::string &program)
{
    return program + " is not installed: scripts/install-deps.sh installs it";
}

} // namespace
