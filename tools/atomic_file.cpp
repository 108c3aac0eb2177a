/*
 * atomic_file.cpp - the folder walked without links, the file replaced
 * through its descriptor.
 */
#include "tools/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <vector>

namespace atomic_file {

namespace {

constexpr int FOLDER_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int TEMP_ATTEMPTS = 100;

std::string why(const std::string &what)
{
    return what + ": " + strerror(errno);
}

std::vector<std::string> components(const std::string &path)
{
    std::vector<std::string> out;
    std::istringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/'))
        if (!part.empty() && part != ".")
            out.push_back(part);
    return out;
}

/* ".yaltime.prom.<pid>.<n>.<ns>": unique enough that O_EXCL rarely fails. */
std::string temp_name(const std::string &base, int attempt)
{
    static std::atomic<unsigned> counter{0};
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return "." + base + "." + std::to_string(getpid()) + "." + std::to_string(counter++) + "." +
           std::to_string(ts.tv_nsec + attempt);
}

std::string write_all(int fd, const std::string &content)
{
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return why("cannot write");
        done += static_cast<std::size_t>(n);
    }
    return "";
}

/* "" if the target may be replaced: missing, or a regular file. */
std::string check_target(int folder, const std::string &base, const std::string &path)
{
    struct stat st;
    if (fstatat(folder, base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? "" : why("cannot examine " + path);
    if (S_ISLNK(st.st_mode))
        return "refusing to write " + path + ": it is a symbolic link";
    if (!S_ISREG(st.st_mode))
        return "refusing to write " + path + ": it is not a regular file";
    return "";
}

/* The new file, complete and flushed, under a temporary name in the folder. */
std::string write_temp(int folder, const std::string &dir, const std::string &base, const std::string &content,
                       std::string &temp)
{
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < TEMP_ATTEMPTS; ++attempt) {
        temp = temp_name(base, attempt);
        fd = openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST)
            return why("cannot create a temporary file in " + dir);
    }
    if (fd < 0)
        return "cannot create a temporary file in " + dir + ": every name tried exists";
    std::string problem = write_all(fd, content);
    if (problem.empty() && fchmod(fd, 0644) != 0)
        problem = why("cannot set the temporary file's mode");
    if (problem.empty() && fsync(fd) != 0)
        problem = why("cannot flush the temporary file");
    if (close(fd) != 0 && problem.empty())
        problem = why("cannot close the temporary file");
    if (!problem.empty())
        unlinkat(folder, temp.c_str(), 0);
    return problem;
}

} // namespace

int open_folder(const std::string &path, std::string &problem)
{
    int fd = open(path.compare(0, 1, "/") == 0 ? "/" : ".", FOLDER_FLAGS);
    if (fd < 0) {
        problem = why("cannot open the folder " + path);
        return -1;
    }
    for (const std::string &part : components(path)) {
        const int next = openat(fd, part.c_str(), FOLDER_FLAGS);
        const int saved = errno;
        close(fd);
        if (next < 0) {
            errno = saved;
            problem = saved == ELOOP || saved == ENOTDIR
                          ? "cannot open the folder " + path + ": " + part + " is a symbolic link or not a folder"
                          : why("cannot open the folder " + path);
            return -1;
        }
        fd = next;
    }
    return fd;
}

std::string write(const std::string &path, const std::string &content)
{
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty() || base == "." || base == "..")
        return path + ": not a file name";
    std::string problem;
    const int folder = open_folder(dir, problem);
    if (folder < 0)
        return problem;
    std::string temp;
    problem = check_target(folder, base, path);
    if (problem.empty())
        problem = write_temp(folder, dir, base, content, temp);
    if (problem.empty() && renameat(folder, temp.c_str(), folder, base.c_str()) != 0) {
        problem = why("cannot rename " + dir + "/" + temp + " to " + path);
        unlinkat(folder, temp.c_str(), 0);
    }
    if (problem.empty())
        fsync(folder); /* the rename itself on disk; a failure loses nothing written */
    close(folder);
    return problem;
}

} // namespace atomic_file
