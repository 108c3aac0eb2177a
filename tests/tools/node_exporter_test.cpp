/*
 * node_exporter_test.cpp - yaltime-status's metrics through a real
 * prometheus-node-exporter: the tool writes yaltime.prom into a folder of the
 * test's own, an exporter on a free loopback port reads that folder with its
 * textfile collector, and a scrape of /metrics must carry every sample with
 * the value written, and no textfile error.  The exporter is stopped when
 * the test ends, however it ends.
 */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "tool_runner.h"
#include "tools/shared_area.h"
#include "tools/tsc_health.h"

namespace {

using tool_test::fake_area;
using tool_test::read_file;
using tool_test::run;
using tool_test::shm_prefix;
using tool_test::temp_dir;

const std::string status_program = YALTIME_STATUS_PROGRAM;
const std::string exporter_program = NODE_EXPORTER_PROGRAM;

/* Generous: the exporter is a Go program starting on a busy machine. */
constexpr auto READY_DEADLINE = std::chrono::seconds(90);

/* A port that was free a moment ago; the exporter's start tells if it still is. */
int free_loopback_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0)
        close(fd);
    return port;
}

/* The body of GET /metrics, or "" when the exporter does not answer 200 (yet). */
std::string scrape(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "";
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string response;
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char buffer[65536];
            ssize_t n;
            while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
                response.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    const std::size_t body = response.find("\r\n\r\n");
    if (response.compare(0, 12, "HTTP/1.0 200") != 0 && response.compare(0, 12, "HTTP/1.1 200") != 0)
        return "";
    return body == std::string::npos ? "" : response.substr(body + 4);
}

/* The exporter as a child process, stopped (TERM, then KILL) when this goes away. */
class exporter_process {
public:
    exporter_process(int port, const std::string &textfile_dir, const std::string &log_path)
    {
        const std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port);
        const std::string textfile = "--collector.textfile.directory=" + textfile_dir;
        std::vector<std::string> argv = {exporter_program, listen, textfile, "--collector.disable-defaults",
                                         "--collector.textfile"};
        std::vector<char *> args;
        for (std::string &a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, 1);
            dup2(log, 2);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~exporter_process()
    {
        if (pid_ <= 0 || exited_)
            return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 1000; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_)
                return;
            usleep(10000);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    exporter_process(const exporter_process &) = delete;
    exporter_process &operator=(const exporter_process &) = delete;

    bool running()
    {
        if (pid_ > 0 && !exited_ && waitpid(pid_, nullptr, WNOHANG) == pid_)
            exited_ = true;
        return pid_ > 0 && !exited_;
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

/* "name{labels}" -> value text of every sample line. */
std::map<std::string, std::string> samples(const std::string &text)
{
    std::map<std::string, std::string> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t space = line.rfind(' ');
        out[line.substr(0, space)] = line.substr(space + 1);
    }
    return out;
}

TEST(NodeExporter, ScrapeCarriesTheMetricsAsWritten)
{
    ASSERT_FALSE(exporter_program.empty()) << "prometheus-node-exporter is not installed (scripts/install-deps.sh)";

    shm_prefix prefix;
    fake_area area(prefix.area_name(), status::AREA_SIZE_BYTES);
    ASSERT_TRUE(area.ok());
    calibration_context_t *c = area.context();
    c->activity = 41;
    c->updates = 12;
    c->stepcount = 1;
    c->idx = c->valid_idx = 7;
    c->calib_table[7] = {1.0 / 2500.0, 1700000000000000};

    temp_dir dir;
    const std::string textfiles = dir.file("textfiles");
    const std::string root = dir.file("root");
    std::filesystem::create_directories(textfiles);
    std::filesystem::create_directories(root + "/proc");
    std::filesystem::create_directories(std::filesystem::path(root + tsc_health::CLOCKSOURCE_PATH).parent_path());
    std::ofstream(root + tsc_health::CLOCKSOURCE_PATH) << "hpet\n";
    std::ofstream(root + tsc_health::AVAILABLE_PATH) << "hpet acpi_pm\n"; /* the TSC marked unstable */
    std::ofstream(root + tsc_health::CPUINFO_PATH) << "flags\t\t: fpu tsc constant_tsc nonstop_tsc\n";

    /* As the package lays it out: the file in a folder of the writer's own,
     * a link to it in the textfile folder, which the exporter follows. */
    const std::string state = dir.file("state");
    std::filesystem::create_directories(state);
    const std::string prom = textfiles + "/yaltime.prom";
    std::filesystem::create_symlink(state + "/yaltime.prom", prom);
    const struct timespec link_time[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, prom.c_str(), link_time, AT_SYMLINK_NOFOLLOW));
    const auto status_run = run({status_program, "--prometheus", "--watch-seconds", "1.5", "--output",
                                 state + "/yaltime.prom"},
                                {prefix.env(), {tsc_health::ROOT_ENV, root.c_str()}});
    ASSERT_EQ(status::EXIT_STALE, status_run.exit_code) << status_run.err;
    const std::string written = read_file(prom);
    const auto expected = samples(written);
    ASSERT_GT(expected.size(), 15u) << written;

    std::string body;
    for (int attempt = 0; attempt < 3 && body.empty(); ++attempt) {
        const int port = free_loopback_port();
        ASSERT_GT(port, 0);
        const std::string log = dir.file("exporter.log");
        exporter_process exporter(port, textfiles, log);
        const auto deadline = std::chrono::steady_clock::now() + READY_DEADLINE;
        while (body.empty() && exporter.running() && std::chrono::steady_clock::now() < deadline) {
            body = scrape(port);
            if (body.empty())
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (body.empty())
            std::cerr << "exporter attempt " << attempt << " on port " << port << ":\n" << read_file(log);
    }
    ASSERT_FALSE(body.empty()) << "the exporter never answered";

    const auto scraped = samples(body);
    EXPECT_EQ("0", scraped.at("node_textfile_scrape_error")) << body;
    struct stat st;
    ASSERT_EQ(0, stat(prom.c_str(), &st));
    EXPECT_NEAR(static_cast<double>(st.st_mtim.tv_sec),
                std::strtod(scraped.at("node_textfile_mtime_seconds{file=\"" + prom + "\"}").c_str(), nullptr), 1.0)
        << "the written file's age, not the link's: " << body;
    for (const auto &[name, value] : expected) {
        const auto found = scraped.find(name);
        ASSERT_NE(scraped.end(), found) << name << " missing from the scrape:\n" << body;
        EXPECT_EQ(std::strtod(value.c_str(), nullptr), std::strtod(found->second.c_str(), nullptr))
            << name << ": wrote " << value << ", scraped " << found->second;
    }
    EXPECT_NE(std::string::npos, body.find("# TYPE yaltime_heartbeat_total counter\n")) << body;
    EXPECT_NE(std::string::npos, body.find("# HELP yaltime_clock_error_seconds OS clock minus YALTIME's shared clock"));
    EXPECT_EQ(1.0, std::strtod(scraped.at("yaltime_status_code").c_str(), nullptr));
    EXPECT_EQ(41.0, std::strtod(scraped.at("yaltime_heartbeat_total").c_str(), nullptr));
    EXPECT_EQ(2.5e9, std::strtod(scraped.at("yaltime_tsc_frequency_hertz").c_str(), nullptr));
    EXPECT_EQ(1.0, std::strtod(scraped.at("yaltime_clocksource_info{clocksource=\"hpet\"}").c_str(), nullptr));
    EXPECT_EQ(0.0, std::strtod(scraped.at("yaltime_tsc_available").c_str(), nullptr));
    EXPECT_EQ(0.0, std::strtod(scraped.at("yaltime_tsc_healthy").c_str(), nullptr));
}

} // namespace
