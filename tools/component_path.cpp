/*
 * component_path.cpp - where a tool finds lib-vek-yaltime.so.
 */
#include "tools/component_path.h"

#include <limits.h>
#include <unistd.h>

namespace tools {

std::string executable_dir()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "";
    std::string exe(path, static_cast<size_t>(n));
    const size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "" : exe.substr(0, slash);
}

std::string default_component_library()
{
    const char *names[] = {"lib-vek-yaltime.so", "lib-vek-yaltime.debug.so"};
    const std::string dir = executable_dir();
    if (!dir.empty()) {
        for (const char *sub : {"/../lib/", "/../lib/vek/"})
            for (const char *name : names) {
                const std::string candidate = dir + sub + name;
                if (access(candidate.c_str(), R_OK) == 0)
                    return candidate;
            }
    }
    return names[0];
}

} // namespace tools
