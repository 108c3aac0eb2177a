// Date-and-time text and NTP timestamps: exact texts, prefixes taken as
// text, and never a byte outside the caller's buffer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "tests/support/component_state.h"
#include "tests/support/recording_base.h"
#include "time/yaltime_entry.h"

namespace {

class Formatting : public ::testing::Test {
protected:
    void SetUp() override { recording_base::install(); }

    std::string format(const char *prefix, double time, int *result = nullptr)
    {
        char buf[256];
        std::memset(buf, 'X', sizeof buf);
        const int count = func_YALTIME_SNPRINTF_TIME(buf, sizeof buf, prefix, time);
        if (result)
            *result = count;
        return buf;
    }

    std::string format_ntp(const char *prefix, YALTIME_NTP_T time, int *result = nullptr)
    {
        char buf[256];
        std::memset(buf, 'X', sizeof buf);
        const int count = func_YALTIME_SNPRINTF_TIME_NTP(buf, sizeof buf, prefix, time);
        if (result)
            *result = count;
        return buf;
    }
};

TEST_F(Formatting, WritesUtcDateAndTimeBehindThePrefix)
{
    int count = 0;
    EXPECT_EQ(format("T=", 0.5, &count), "T=1970-01-01 00:00:00.500000 +0");
    EXPECT_EQ(count, 31);
    EXPECT_EQ(format("", 1234567890.25), "2009-02-13 23:31:30.250000 +0");
    EXPECT_EQ(format_ntp("", 0x499602D240000000ull), "2009-02-13 23:31:30.250000 +0");
    EXPECT_EQ(format_ntp("", 0x0000000180000000ull), "1970-01-01 00:00:01.500000 +0");
}

TEST_F(Formatting, AFractionRoundingUpIsNotCarriedIntoTheMinute)
{
    EXPECT_EQ(format("", 59.9999996), "1970-01-01 00:00:60.000000 +0");
}

TEST_F(Formatting, DatesFrom2038OnAreRight)
{
    EXPECT_EQ(format("", 2147483648.0), "2038-01-19 03:14:08.000000 +0");
    EXPECT_EQ(format("", 4102444800.5), "2100-01-01 00:00:00.500000 +0");
    EXPECT_EQ(format_ntp("", 0xFFFFFFFF80000000ull), "2106-02-07 06:28:15.500000 +0");
}

TEST_F(Formatting, TimesWithoutADateGiveThePrefixOnly)
{
    for (double time : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity(), 1e300, 9.3e18}) {
        int count = -1;
        EXPECT_EQ(format("P:", time, &count), "P:") << time;
        EXPECT_EQ(count, 2) << time;
    }
    int count = -1;
    EXPECT_EQ(format_ntp("P:", 0, &count), "P:");
    EXPECT_EQ(count, 2);
}

TEST_F(Formatting, ThePrefixIsTextNotAFormat)
{
    int count = 0;
    EXPECT_EQ(format("100%% at ", 0.5, &count), "100% at 1970-01-01 00:00:00.500000 +0");
    EXPECT_EQ(count, 37);
    // Conversions are copied as they stand: no argument is ever read or written.
    EXPECT_EQ(format("%s%n%d %", 1.0, &count), "%s%n%d %1970-01-01 00:00:01.000000 +0");
    EXPECT_EQ(count, 8 + 29);
    EXPECT_EQ(format_ntp("a%%%%b%", 0x0000000180000000ull), "a%%b%1970-01-01 00:00:01.500000 +0");
}

// Formats into a buffer of `buflen` bytes with guard bytes around it.
struct guarded_result {
    int count;
    std::string text;
    bool guards_intact;
    bool terminated;
};

guarded_result format_guarded(int buflen, const char *prefix, double time)
{
    constexpr int guard = 16;
    char storage[guard + 128 + guard];
    std::memset(storage, 'G', sizeof storage);
    char *buf = storage + guard;
    const int room = buflen > 0 ? buflen : 0;
    std::memset(buf, 'X', static_cast<size_t>(room));
    guarded_result result{};
    result.count = func_YALTIME_SNPRINTF_TIME(buflen > 0 ? buf : nullptr, buflen, prefix, time);
    result.guards_intact = true;
    for (int i = 0; i < guard; ++i)
        result.guards_intact &= storage[i] == 'G' && buf[room + i] == 'G';
    result.terminated = room == 0 || std::memchr(buf, '\0', static_cast<size_t>(room)) != nullptr;
    if (buflen > 0 && result.terminated)
        result.text = buf;
    return result;
}

TEST_F(Formatting, NeverWritesOutsideTheBuffer)
{
    const double time = 1234567890.25; // 29 characters of date and time
    for (int buflen : {0, 1, 2, 6, 7, 8, 20, 35, 36, 37}) {
        guarded_result r = format_guarded(buflen, "prefix%%", time);
        EXPECT_TRUE(r.guards_intact) << buflen;
        EXPECT_TRUE(r.terminated) << buflen;
        EXPECT_EQ(r.count, 7 + 29) << buflen;
        const std::string full = "prefix%2009-02-13 23:31:30.250000 +0";
        if (buflen > 0) {
            EXPECT_EQ(r.text, full.substr(0, static_cast<size_t>(buflen - 1))) << buflen;
        }
    }
}

TEST_F(Formatting, AFullPrefixLeavesNoRoomAndStillCountsTheDate)
{
    guarded_result r = format_guarded(3, "abc", 0.5);
    EXPECT_TRUE(r.guards_intact);
    EXPECT_EQ(r.text, "ab");
    EXPECT_EQ(r.count, 3 + 29);
    r = format_guarded(-5, "abc", 0.5);
    EXPECT_TRUE(r.guards_intact);
    EXPECT_EQ(r.count, 3 + 29);
}

TEST_F(Formatting, ANullPrefixStillTerminatesTheBuffer)
{
    char buf[16];
    std::memset(buf, 'X', sizeof buf);
    EXPECT_EQ(func_YALTIME_SNPRINTF_TIME(buf, sizeof buf, nullptr, 0.0), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(func_YALTIME_SNPRINTF_TIME(buf, sizeof buf, nullptr, 0.5), 29);
    EXPECT_STREQ(buf, "1970-01-01 00:0");
}

TEST_F(Formatting, YearsBeyondTheTextsIntegerGiveThePrefixOnly)
{
    int count = -1;
    EXPECT_EQ(format("P", 6.7768e16, &count), "P"); // a year above 2^31 - 1900
    EXPECT_EQ(count, 1);
}

TEST(NtpTimestamps, ConvertSecondsSince1970)
{
    EXPECT_EQ(yaltime_secs_to_ntp(1.5), 0x0000000180000000ull);
    EXPECT_EQ(yaltime_secs_to_ntp(1234567890.25), 0x499602D240000000ull);
    EXPECT_EQ(yaltime_secs_to_ntp(0.0), 0u);
    EXPECT_EQ(yaltime_secs_to_ntp(-3.0), 0u);
    EXPECT_EQ(yaltime_secs_to_ntp(std::nan("")), 0u);
    // From 2^32 seconds on the timestamp saturates instead of wrapping.
    EXPECT_EQ(yaltime_secs_to_ntp(4294967296.0), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(yaltime_secs_to_ntp(std::numeric_limits<double>::infinity()), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(yaltime_secs_to_ntp(4294967295.5), 0xFFFFFFFF80000000ull);
}

TEST(NtpTimestamps, NowFollowsTheCalibratedClock)
{
    recording_base::install();
    component_state::reset();
    Calibration_local_only.store(true);
    component_state::set_record(&Thread_calibration, 0.0, 1234567890250000); // constant time
    EXPECT_EQ(func_YALTIME_NOW_NTP(), 0x499602D240000000ull);
}

} // namespace
