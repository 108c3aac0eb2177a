/*
 * status_test.cpp - yaltime-status against shared areas laid out by hand:
 * absent, wrong size, garbage indices, stale and live heartbeats, areas
 * another user could have written, and its JSON; and the reading of an area
 * in memory.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cmath>
#include <chrono>
#include <map>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "tool_runner.h"
#include "tools/shared_area.h"

namespace {

using tool_test::fake_area;
using tool_test::run;
using tool_test::shm_prefix;

const std::string status_program = YALTIME_STATUS_PROGRAM;

/* A flat JSON object of strings, numbers, booleans and null; false if the text is not one. */
bool parse_flat_json(const std::string &text, std::map<std::string, std::string> &out)
{
    size_t i = 0;
    auto skip = [&] {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
    };
    auto string = [&](std::string &s) {
        if (i >= text.size() || text[i] != '"')
            return false;
        for (++i; i < text.size() && text[i] != '"'; ++i) {
            if (text[i] == '\\' && ++i >= text.size())
                return false;
            s += text[i];
        }
        return i++ < text.size();
    };
    skip();
    if (i >= text.size() || text[i++] != '{')
        return false;
    for (;;) {
        skip();
        std::string key, value;
        if (!string(key))
            return false;
        skip();
        if (i >= text.size() || text[i++] != ':')
            return false;
        skip();
        if (i < text.size() && text[i] == '"') {
            if (!string(value))
                return false;
        } else {
            while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '-' ||
                                       text[i] == '.' || text[i] == '+'))
                value += text[i++];
            char *end = nullptr;
            const bool literal = value == "null" || value == "true" || value == "false";
            if (!literal && (value.empty() || (std::strtod(value.c_str(), &end), *end != '\0')))
                return false;
        }
        if (out.count(key))
            return false;
        out[key] = value;
        skip();
        if (i < text.size() && text[i] == ',') {
            ++i;
            continue;
        }
        if (i < text.size() && text[i] == '}') {
            ++i;
            skip();
            return i == text.size();
        }
        return false;
    }
}

/* A well-formed area: record `idx` says 2500 MHz. */
void lay_out(calibration_context_t *c, int32_t idx = 7)
{
    c->activity = 41;
    c->updates = 12;
    c->stepcount = 1;
    c->idx = idx;
    c->valid_idx = idx;
    if (idx >= 0)
        c->calib_table[idx] = {1.0 / 2500.0, 1700000000000000};
}

TEST(ToolsStatus, AbsentAreaExitsTwo)
{
    shm_prefix prefix;
    const auto r = run({status_program}, {prefix.env()});
    EXPECT_EQ(status::EXIT_ABSENT, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find(prefix.area_name()));
    EXPECT_NE(std::string::npos, r.out.find("does not exist"));

    const auto j = run({status_program, "--json"}, {prefix.env()});
    std::map<std::string, std::string> fields;
    ASSERT_TRUE(parse_flat_json(j.out, fields)) << j.out;
    EXPECT_EQ("absent", fields["status"]);
    EXPECT_EQ(prefix.area_name(), fields["area"]);
    EXPECT_EQ(status::EXIT_ABSENT, j.exit_code);
}

TEST(ToolsStatus, WrongSizeIsInvalid)
{
    for (size_t size : {size_t{0}, size_t{4096}, size_t{16407}, size_t{16409}, size_t{32768}}) {
        shm_prefix prefix;
        fake_area area(prefix.area_name(), size);
        const auto r = run({status_program, "--json"}, {prefix.env()});
        EXPECT_EQ(status::EXIT_INVALID, r.exit_code) << size << ": " << r.out << r.err;
        std::map<std::string, std::string> fields;
        ASSERT_TRUE(parse_flat_json(r.out, fields)) << r.out;
        EXPECT_EQ("invalid", fields["status"]);
        EXPECT_EQ(std::to_string(size), fields["size"]);
        EXPECT_NE(std::string::npos, fields["problem"].find("expected 16408")) << fields["problem"];
    }
}

TEST(ToolsStatus, IndexOutsideTheRingIsInvalid)
{
    for (auto [idx, valid_idx] : {std::pair{5000, 7}, std::pair{-2, 7}, std::pair{1024, 7}, std::pair{7, 2000},
                                  std::pair{INT32_MIN, 7}}) {
        shm_prefix prefix;
        fake_area area(prefix.area_name(), status::AREA_SIZE_BYTES);
        ASSERT_TRUE(area.ok());
        lay_out(area.context());
        area.context()->idx = idx;
        area.context()->valid_idx = valid_idx;
        const auto r = run({status_program, "--watch-seconds", "1.5"}, {prefix.env()});
        EXPECT_EQ(status::EXIT_INVALID, r.exit_code) << idx << " " << valid_idx << ": " << r.out << r.err;
        EXPECT_NE(std::string::npos, r.out.find("outside the ring")) << r.out;
    }
}

TEST(ToolsStatus, StaleAreaExitsOneAndReportsItsFigures)
{
    shm_prefix prefix;
    fake_area area(prefix.area_name(), status::AREA_SIZE_BYTES);
    ASSERT_TRUE(area.ok());
    lay_out(area.context());
    const auto r = run({status_program, "--watch-seconds", "1.5"}, {prefix.env()});
    EXPECT_EQ(status::EXIT_STALE, r.exit_code) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("stale")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("heartbeat  41\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("idx        7\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("TSC        2500.000000 MHz\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("steps      1\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("updates    12\n")) << r.out;
}

TEST(ToolsStatus, LiveAreaExitsZeroAsSoonAsTheHeartbeatMoves)
{
    shm_prefix prefix;
    fake_area area(prefix.area_name(), status::AREA_SIZE_BYTES);
    ASSERT_TRUE(area.ok());
    lay_out(area.context());
    std::atomic<bool> stop{false};
    std::thread owner([&] {
        while (!stop.load()) {
            area.beat();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    /* A generous watch: the run ends at the first change, long before it. */
    const auto r = run({status_program, "--json", "--watch-seconds", "30"}, {prefix.env()});
    stop.store(true);
    owner.join();
    EXPECT_EQ(status::EXIT_LIVE, r.exit_code) << r.out << r.err;
    std::map<std::string, std::string> fields;
    ASSERT_TRUE(parse_flat_json(r.out, fields)) << r.out;
    EXPECT_EQ("live", fields["status"]);
    EXPECT_EQ("16408", fields["size"]);
    EXPECT_LT(std::stod(fields["heartbeat_changed_after_s"]), 30.0);
    EXPECT_GT(std::stoi(fields["heartbeat"]), 41);
    for (const char *key : {"idx", "valid_idx", "tsc_mhz", "steps", "updates", "area", "watched_s"})
        EXPECT_TRUE(fields.count(key)) << key << " missing from " << r.out;
    EXPECT_EQ("7", fields["idx"]);
    EXPECT_EQ("2500.000000", fields["tsc_mhz"]);
}

TEST(ToolsStatus, InitialCalibrationIsNotAFault)
{
    shm_prefix prefix;
    fake_area area(prefix.area_name(), status::AREA_SIZE_BYTES);
    ASSERT_TRUE(area.ok());
    lay_out(area.context(), -1);
    const auto r = run({status_program, "--json", "--watch-seconds", "1.5"}, {prefix.env()});
    EXPECT_EQ(status::EXIT_STALE, r.exit_code) << r.out << r.err;
    std::map<std::string, std::string> fields;
    ASSERT_TRUE(parse_flat_json(r.out, fields)) << r.out;
    EXPECT_EQ("-1", fields["idx"]);
    EXPECT_EQ("null", fields["tsc_mhz"]);
}

TEST(ToolsStatus, BadUsageExitsFour)
{
    EXPECT_EQ(status::EXIT_FAILED, run({status_program, "--bogus"}).exit_code);
    /* Shorter than a beat and a half could call a live owner stale. */
    for (const char *seconds : {"-1", "0", "1.49", "3600.5", "nan", "2x"}) {
        const auto r = run({status_program, "--watch-seconds", seconds});
        EXPECT_EQ(status::EXIT_FAILED, r.exit_code) << seconds;
        EXPECT_NE(std::string::npos, r.err.find("--watch-seconds wants 1.5 to 3600")) << seconds << ": " << r.err;
    }
    EXPECT_EQ(status::EXIT_FAILED, run({status_program, "--watch-seconds"}).exit_code);
    const auto help = run({status_program, "--help"});
    EXPECT_EQ(0, help.exit_code);
    EXPECT_NE(std::string::npos, help.out.find("exit status: 0 live, 1 stale, 2 absent, 3 invalid"));
    EXPECT_NE(std::string::npos, help.out.find("5 untrusted"));
}

/* --- who may have written the area -------------------------------------------- */

/* The area handed to `uid` with `mode`, as another user could have left it. */
void hand_over(const std::string &posix, uid_t uid, mode_t mode)
{
    const int fd = shm_open(posix.c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, fchown(fd, uid, uid));
    ASSERT_EQ(0, fchmod(fd, mode));
    close(fd);
}

TEST(ToolsStatus, ReportsTheOwnerAndModeAndRefusesAnAreaAnotherUserCouldWrite)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hand areas to other users";
    struct row {
        uid_t uid;
        mode_t mode;
        size_t size;
        int exit_code;
        const char *owner_name; /* as JSON gives it */
        const char *mode_text;
        const char *problem;
    };
    const row rows[] = {
        {0, 0644, status::AREA_SIZE_BYTES, status::EXIT_STALE, "root", "0644", nullptr},
        {0, 0600, status::AREA_SIZE_BYTES, status::EXIT_STALE, "root", "0600", nullptr},
        {65534, 0644, status::AREA_SIZE_BYTES, status::EXIT_UNTRUSTED, "nobody", "0644", "owned by the overflow user"},
        {65533, 0600, status::AREA_SIZE_BYTES, status::EXIT_UNTRUSTED, "null", "0600", "owned by neither root"},
        {0, 0666, status::AREA_SIZE_BYTES, status::EXIT_UNTRUSTED, "root", "0666", "writable by group or others"},
        {0, 0620, status::AREA_SIZE_BYTES, status::EXIT_UNTRUSTED, "root", "0620", "writable by group or others"},
        /* Untrusted comes first: a foreign area of the wrong size is not "invalid". */
        {65534, 0644, 4096, status::EXIT_UNTRUSTED, "nobody", "0644", "owned by the overflow user"},
    };
    for (const row &w : rows) {
        shm_prefix prefix;
        fake_area area(prefix.area_name(), w.size);
        ASSERT_TRUE(area.ok());
        if (w.size == status::AREA_SIZE_BYTES)
            lay_out(area.context());
        hand_over(prefix.area_name(), w.uid, w.mode);
        const std::string what = std::to_string(w.uid) + " " + w.mode_text;

        const auto j = run({status_program, "--json", "--watch-seconds", "1.5"}, {prefix.env()});
        EXPECT_EQ(w.exit_code, j.exit_code) << what << ": " << j.out << j.err;
        std::map<std::string, std::string> fields;
        ASSERT_TRUE(parse_flat_json(j.out, fields)) << j.out;
        EXPECT_EQ(std::to_string(w.uid), fields["owner_uid"]) << what;
        EXPECT_EQ(w.owner_name, fields["owner_name"]) << what;
        EXPECT_EQ(w.mode_text, fields["mode"]) << what;
        if (w.problem != nullptr) {
            EXPECT_EQ("untrusted", fields["status"]) << what;
            EXPECT_NE(std::string::npos, fields["problem"].find(w.problem)) << what << ": " << fields["problem"];
            EXPECT_EQ(0u, fields.count("heartbeat")) << what << ": an untrusted area is not read";
        } else {
            EXPECT_EQ("stale", fields["status"]) << what;
            EXPECT_EQ("41", fields["heartbeat"]) << what;
        }

        const auto t = run({status_program, "--watch-seconds", "1.5"}, {prefix.env()});
        EXPECT_EQ(w.exit_code, t.exit_code) << what;
        const std::string owned = std::string("owned by   ") +
                                  (std::string(w.owner_name) == "null" ? "" : std::string(w.owner_name) + " ") +
                                  "(uid " + std::to_string(w.uid) + "), mode " + w.mode_text + "\n";
        EXPECT_NE(std::string::npos, t.out.find(owned)) << what << ": " << t.out;
        if (w.problem != nullptr) {
            EXPECT_NE(std::string::npos, t.out.find("untrusted  ")) << what << ": " << t.out;
        }
    }
}

/* --- reading an area in memory ------------------------------------------------ */

TEST(SharedArea, WrongSizeIsRejectedWithoutReading)
{
    status::area_fields f;
    /* A null base proves nothing is read. */
    EXPECT_EQ("size 4096 bytes, expected 16408", status::read_area(nullptr, 4096, f));
    EXPECT_EQ("size 0 bytes, expected 16408", status::read_area(nullptr, 0, f));
}

TEST(SharedArea, ReadsTheRecordInForceAtTheEndsOfTheRing)
{
    static calibration_context_t context;
    for (int32_t idx : {0, 1023}) {
        std::memset(&context, 0, sizeof context);
        lay_out(&context, idx);
        context.valid_idx = idx == 1023 ? 5 : idx; /* a slew that wrapped */
        status::area_fields f;
        EXPECT_EQ("", status::read_area(&context, sizeof context, f));
        EXPECT_EQ(idx, f.idx);
        EXPECT_TRUE(f.slope_known);
        EXPECT_DOUBLE_EQ(2500.0, status::tsc_mhz(f));
    }
}

TEST(SharedArea, FrequencyIsUnknownWithoutAPositiveSlope)
{
    status::area_fields f;
    f.slope_known = true;
    for (double slope : {0.0, -0.0004, double(NAN), double(INFINITY)}) {
        f.slope_us_per_tick = slope;
        EXPECT_EQ(0.0, status::tsc_mhz(f)) << slope;
    }
    f.slope_known = false;
    f.slope_us_per_tick = 0.001;
    EXPECT_EQ(0.0, status::tsc_mhz(f));
}

TEST(SharedArea, NameTakesThePrefix)
{
    EXPECT_EQ("/yal_time_master", status::area_posix_name(nullptr));
    EXPECT_EQ("/yal_time_master", status::area_posix_name(""));
    EXPECT_EQ("/t1_yal_time_master", status::area_posix_name("t1_"));
}

TEST(SharedArea, JsonStringsAreEscaped)
{
    EXPECT_EQ("\"a\\\"b\\\\c\\u000a\"", status::json_string("a\"b\\c\n"));
}

} // namespace
