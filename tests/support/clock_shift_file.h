// The 8-byte cell that tests/component/clock_shift_preload.c reads a
// process's OS-clock shift from: a test sets it, and every process started
// with the preload library and YALTIME_TEST_CLOCK_SHIFT_FILE naming path()
// sees its real-time clock set by that much.  The machine's clock is never
// touched.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>

class clock_shift_file {
public:
    explicit clock_shift_file(const std::string &tag = "")
        : path_("/tmp/yt_clock_shift_" + std::to_string(getpid()) + tag)
    {
        const int fd = open(path_.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
        if (fd >= 0 && ftruncate(fd, sizeof(int64_t)) == 0) {
            void *p = mmap(nullptr, sizeof(int64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (p != MAP_FAILED)
                cell_ = static_cast<int64_t *>(p);
        }
        if (fd >= 0)
            close(fd);
    }
    ~clock_shift_file()
    {
        if (cell_ != nullptr)
            munmap(cell_, sizeof(int64_t));
        unlink(path_.c_str());
    }
    clock_shift_file(const clock_shift_file &) = delete;
    clock_shift_file &operator=(const clock_shift_file &) = delete;

    bool ok() const { return cell_ != nullptr; }
    void set(int64_t ns) { __atomic_store_n(cell_, ns, __ATOMIC_RELAXED); }
    const std::string &path() const { return path_; }

    // The environment of a probe that sees this shift through `preload`, its
    // shared area under `shm_prefix`.
    std::map<std::string, std::string> environment(const std::string &preload, const std::string &shm_prefix) const;

private:
    std::string path_;
    int64_t *cell_ = nullptr;
};

// `env` with `preload` (the clock-shift library's path) preloaded.  An i386
// probe that the kernel hands to qemu-user gets LD_PRELOAD in its
// environment as a native one does; qemu's own x86-64 loader only reports on
// stderr that it cannot preload an i386 library, and goes on.
inline std::map<std::string, std::string> preloaded_env(std::map<std::string, std::string> env,
                                                        const std::string &preload)
{
    env["LD_PRELOAD"] = preload;
#if defined(YALTIME_SANITIZER_RUNTIME)
    // the preload library comes before the sanitizer's runtime
    const char *asan = std::getenv("ASAN_OPTIONS");
    env["ASAN_OPTIONS"] = std::string(asan ? asan : "") + ":verify_asan_link_order=0";
#endif
    return env;
}

// The same, the process's OS clock shifted by `shift`.
inline std::map<std::string, std::string> shifted_env(std::map<std::string, std::string> env,
                                                      const std::string &preload, const clock_shift_file &shift)
{
    env["YALTIME_TEST_CLOCK_SHIFT_FILE"] = shift.path();
    return preloaded_env(std::move(env), preload);
}

inline std::map<std::string, std::string> clock_shift_file::environment(const std::string &preload,
                                                                        const std::string &shm_prefix) const
{
    return shifted_env({{"VEK_SHM_PREFIX", shm_prefix}}, preload, *this);
}
