// yaltime_soak: the load test.  One owner and many reader processes share
// the calibration area under a prefix of their own; each reader reads on
// several threads in a tight loop for the given time (yaltime_load_reader).
// Meanwhile this program watches the owner's heartbeat in the area.
//
//   yaltime_soak [--seconds S] [--readers N] [--threads T]
//
// It passes (exit 0) when no process crashed, the owner is still alive,
// every reading lay within 50 microseconds of the OS clock read around it,
// every reader stayed on the owner's calibration, and the heartbeat never
// stood still for more than two seconds.  It prints the figures either way,
// including how many readings lay more than 5 microseconds out.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "time/calibration.h"

namespace {

double os_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

void sleep_s(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

calibration_context_t *map_area(const std::string &name, double timeout_s)
{
    const double deadline = os_now() + timeout_s;
    while (os_now() < deadline) {
        const int fd = shm_open(name.c_str(), O_RDONLY, 0);
        if (fd >= 0) {
            struct stat st;
            void *p = MAP_FAILED;
            if (fstat(fd, &st) == 0 && st.st_size == CALIBRATION_CONTEXT_SIZE)
                p = mmap(nullptr, CALIBRATION_CONTEXT_SIZE, PROT_READ, MAP_SHARED, fd, 0);
            close(fd);
            if (p != MAP_FAILED)
                return static_cast<calibration_context_t *>(p);
        }
        sleep_s(0.05);
    }
    return nullptr;
}

// The longest time the heartbeat stood still while watched.
class heartbeat_gap {
public:
    explicit heartbeat_gap(const calibration_context_t *area) : area_(area)
    {
        watcher_ = std::thread([this] { watch(); });
    }
    ~heartbeat_gap() { stop(); }
    void stop()
    {
        stopping_.store(true);
        if (watcher_.joinable())
            watcher_.join();
    }
    double longest_s() const { return longest_s_; }
    int beats() const { return beats_; }

private:
    void watch()
    {
        int seen = calib::load(area_->activity);
        double since = os_now();
        while (!stopping_.load()) {
            const int now = calib::load(area_->activity);
            const double t = os_now();
            if (now != seen) {
                seen = now;
                ++beats_;
                since = t;
            }
            if (t - since > longest_s_)
                longest_s_ = t - since;
            sleep_s(0.005);
        }
    }

    const calibration_context_t *area_;
    std::thread watcher_;
    std::atomic<bool> stopping_{false};
    double longest_s_ = 0;
    int beats_ = 0;
};

std::map<std::string, std::string> result_of(child_process &p)
{
    for (const std::string &line : p.lines())
        if (line.rfind("result ", 0) == 0)
            return fields_of(line);
    return {};
}

uint64_t count(const std::map<std::string, std::string> &f, const char *key)
{
    auto it = f.find(key);
    return it == f.end() ? 0 : std::strtoull(it->second.c_str(), nullptr, 10);
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = 60;
    int reader_count = 32;
    int threads = 4;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--readers") == 0)
            reader_count = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--threads") == 0)
            threads = std::atoi(argv[i + 1]);
    }
    const std::string prefix = "soak" + std::to_string(getpid()) + "_";
    const std::string name = "/" + prefix + "yal_time_master";
    const std::map<std::string, std::string> env = {{"VEK_SHM_PREFIX", prefix}};

    std::printf("soak: owner, %d readers x %d threads, %.0f s (prefix %s)\n", reader_count, threads, seconds,
                prefix.c_str());
    std::fflush(stdout);
    child_process owner({YALTIME_PROBE_PATH, "--arg", "yaltime_master", "--serve", YALTIME_LIBRARY_PATH}, env);
    calibration_context_t *area = map_area(name, 30);
    if (area == nullptr || !owner.wait_for_line("serving", 30)) {
        std::printf("soak: FAIL the owner did not start: %s\n", owner.stderr_text().c_str());
        shm_unlink(name.c_str());
        return 1;
    }

    std::vector<std::unique_ptr<child_process>> readers;
    for (int r = 0; r < reader_count; ++r)
        readers.push_back(std::make_unique<child_process>(
            std::vector<std::string>{YALTIME_LOAD_READER_PATH, "--threads", std::to_string(threads), "--seconds",
                                     std::to_string(seconds), YALTIME_LIBRARY_PATH},
            env));
    heartbeat_gap gap(area);

    int crashed = 0, missing = 0;
    uint64_t readings = 0, over_5us = 0, over_50us = 0, not_shared = 0;
    double worst_us = 0;
    for (auto &reader : readers) {
        const int status = reader->wait_exit(seconds + 120);
        if (status != 0) {
            ++crashed;
            std::printf("soak: reader %d ended with status %d: %s\n", reader->pid(), status,
                        reader->stderr_text().c_str());
            continue;
        }
        const auto f = result_of(*reader);
        if (f.empty()) {
            ++missing;
            continue;
        }
        readings += count(f, "readings");
        over_5us += count(f, "over5us");
        over_50us += count(f, "over50us");
        not_shared += count(f, "not_shared");
        worst_us = std::max(worst_us, std::atof(f.at("worst_us").c_str()));
    }
    gap.stop();
    const bool owner_alive = owner.wait_exit(0) == -1;

    std::printf("soak: readings %" PRIu64 " (%.1f million/s)\n", readings, readings / seconds / 1e6);
    std::printf("soak: beyond 5 us of the OS clock: %" PRIu64 " (%.2e of all)\n", over_5us,
                readings ? static_cast<double>(over_5us) / static_cast<double>(readings) : 0.0);
    std::printf("soak: beyond 50 us of the OS clock: %" PRIu64 ", worst %.3f us\n", over_50us, worst_us);
    std::printf("soak: checks of the calibration in use that were not the owner's: %" PRIu64 "\n", not_shared);
    std::printf("soak: heartbeat: %d beats, longest still %.3f s\n", gap.beats(), gap.longest_s());
    std::printf("soak: readers crashed %d, without result %d; owner %s\n", crashed, missing,
                owner_alive ? "alive" : "DEAD");

    const bool pass = crashed == 0 && missing == 0 && owner_alive && readings > 0 && over_50us == 0 &&
                      not_shared == 0 && gap.longest_s() <= 2.0;
    std::printf("soak: %s\n", pass ? "PASS" : "FAIL");
    owner.signal(SIGKILL);
    owner.wait_exit(10);
    shm_unlink(name.c_str());
    return pass ? 0 : 1;
}
