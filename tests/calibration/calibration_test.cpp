// The calibration context: its byte layout (an exchange format between
// x86-64 and i386 processes) and the conversions of the record in force.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>

#include "time/calibration.h"

namespace {

std::unique_ptr<calibration_context_t> context_with(double slope, int64 intercept, int32_t idx = 0)
{
    auto context = std::make_unique<calibration_context_t>();
    std::memset(context.get(), 0, sizeof(calibration_context_t));
    context->idx = idx;
    context->valid_idx = idx;
    if (calib::index_in_ring(idx))
        context->calib_table[idx] = {slope, intercept};
    return context;
}

TEST(CalibrationLayout, FieldsSitAtTheirByteOffsets)
{
    alignas(8) unsigned char bytes[sizeof(calibration_context_t)] = {};
    auto *context = reinterpret_cast<calibration_context_t *>(bytes);
    context->activity = 0x11111111;
    context->updates = 0x22222222;
    context->stepcount = 0x33333333;
    context->idx = 0x44444444;
    context->valid_idx = 0x55555555;
    context->calib_table[0].slope = 1.5;
    context->calib_table[0].intercept = -2;
    context->calib_table[1023].intercept = 0x0102030405060708;

    int32_t word;
    const int32_t expected_words[] = {0x11111111, 0x22222222, 0x33333333, 0x44444444, 0x55555555, 0};
    for (int i = 0; i < 6; ++i) {
        std::memcpy(&word, bytes + 4 * i, 4);
        EXPECT_EQ(word, expected_words[i]) << "word at offset " << 4 * i;
    }
    double slope;
    std::memcpy(&slope, bytes + 24, 8);
    EXPECT_EQ(slope, 1.5);
    int64 intercept;
    std::memcpy(&intercept, bytes + 32, 8);
    EXPECT_EQ(intercept, -2);
    std::memcpy(&intercept, bytes + 24 + 1023 * 16 + 8, 8);
    EXPECT_EQ(intercept, 0x0102030405060708);
    EXPECT_EQ(sizeof(calibration_context_t), 16408u);
    EXPECT_EQ(alignof(calibration_context_t), 8u);
}

TEST(CalibrationRing, WrapsAfterTheLastRecord)
{
    EXPECT_EQ(calib::next_index(1023), 0);
    EXPECT_EQ(calib::next_index(1020, 10), 6);
    EXPECT_EQ(calib::next_index(0), 1);
}

TEST(CalibrationConversion, TicksToSecondsAndBack)
{
    auto context = context_with(0.001, 1000000000000000);
    EXPECT_DOUBLE_EQ(calib_tsc_to_secs(context.get(), 1000000), 1e9 + 0.001);
    EXPECT_NEAR(static_cast<double>(calib_secs_to_tsc(context.get(), 1e9 + 0.001)), 1e6, 1.0);
    // A time before tick 0 gives the distance in ticks, not an error.
    EXPECT_NEAR(static_cast<double>(calib_secs_to_tsc(context.get(), 1e9 - 0.001)), 1e6, 1.0);
    EXPECT_DOUBLE_EQ(calib_period(context.get()), 1e-9);
}

TEST(CalibrationConversion, TicksOfTwoToThe63AndMoreArePositive)
{
    auto context = context_with(1.0, 0);
    EXPECT_DOUBLE_EQ(calib_tsc_to_secs(context.get(), 1ull << 63), 9223372036854.775808);
    EXPECT_GT(calib_tsc_to_secs(context.get(), std::numeric_limits<uint64>::max()), 0.0);
}

TEST(CalibrationConversion, ReadsTheRecordAtTheIndexInForce)
{
    auto context = context_with(1.0, 0, 5);
    context->calib_table[6] = {2.0, 0}; // written ahead, not yet in force
    EXPECT_DOUBLE_EQ(calib_tsc_to_secs(context.get(), 1000000), 1.0);
    calib::store(context->idx, 6);
    EXPECT_DOUBLE_EQ(calib_tsc_to_secs(context.get(), 1000000), 2.0);
}

TEST(CalibrationConversion, AnIndexOutsideTheRingGivesNoCalibration)
{
    for (int32_t idx : {-1, 1024, 5000, std::numeric_limits<int32_t>::min()}) {
        auto context = context_with(1.0, 5, 0);
        context->idx = idx;
        EXPECT_EQ(calib_tsc_to_secs(context.get(), 123), 0.0) << idx;
        EXPECT_EQ(calib_secs_to_tsc(context.get(), 123.0), 0u) << idx;
        EXPECT_EQ(calib_period(context.get()), 0.0) << idx;
    }
}

TEST(CalibrationConversion, SecondsToTicksIsDefinedForEveryInput)
{
    auto flat = context_with(0.0, 0); // no usable record yet: slope 0
    EXPECT_EQ(calib_secs_to_tsc(flat.get(), 1.0), std::numeric_limits<uint64>::max());
    EXPECT_EQ(calib_secs_to_tsc(flat.get(), 0.0), 0u); // 0 / 0
    auto context = context_with(1.0, 0);
    EXPECT_EQ(calib_secs_to_tsc(context.get(), std::nan("")), 0u);
    EXPECT_EQ(calib_secs_to_tsc(context.get(), 1e300), std::numeric_limits<uint64>::max());
    EXPECT_EQ(calib_secs_to_tsc(context.get(), -1e300), std::numeric_limits<uint64>::max());
    EXPECT_EQ(calib_secs_to_tsc(context.get(), 2.5), 2500000u);
}

// How far `ns` lies from the line at tick `ticks`, computed exactly:
// slope = m * 2^e with an integer m, so ticks * m * 1000 is an integer of at
// most 126 bits, carried in 32-bit limbs (no 128-bit type on i386).
double error_from_exact_line_ns(int64_t ns, calib::line l, uint64_t ticks)
{
    int e = 0;
    const double m_double = std::ldexp(std::frexp(l.slope, &e), 53);
    e -= 53;
    const uint64_t m = static_cast<uint64_t>(m_double);
    const uint64_t a[2] = {ticks & 0xffffffffu, ticks >> 32}, b[2] = {m & 0xffffffffu, m >> 32};
    uint64_t limb[5] = {};
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) {
            uint64_t carry = a[i] * b[j];
            for (int k = i + j; carry != 0; ++k) {
                const uint64_t sum = limb[k] + (carry & 0xffffffffu);
                limb[k] = sum & 0xffffffffu;
                carry = (carry >> 32) + (sum >> 32);
            }
        }
    uint64_t carry = 0; // times 1000
    for (uint64_t &x : limb) {
        const uint64_t product = x * 1000 + carry;
        x = product & 0xffffffffu;
        carry = product >> 32;
    }
    // The product times 2^e (e < 0): whole nanoseconds and the fraction.
    uint64_t whole = 0;
    long double fraction = 0;
    for (int k = 4; k >= 0; --k) {
        const int bit = 32 * k + e;
        const long double value = std::ldexp(static_cast<long double>(limb[k]), bit);
        const long double limb_whole = std::floor(value);
        whole += static_cast<uint64_t>(limb_whole);
        fraction += value - limb_whole;
    }
    const int64_t whole_ns = static_cast<int64_t>(whole) + l.intercept * 1000;
    return static_cast<double>(static_cast<long double>(ns - whole_ns) - fraction);
}

// Nanoseconds within a rounding of the exact line at every uptime, up to
// 2^62 ticks, where a double of the product alone would be 100s of ns off.
TEST(CalibrationConversion, NanosecondsFollowTheExactLineAtEveryTickSize)
{
    const double now_us = 1.7656e15; // December 2025
    for (double mhz : {1000.0, 2399.999, 3000.0, 4999.7}) {
        const double slope = 1.0 / mhz;
        for (int bits : {0, 20, 32, 40, 52, 53, 54, 58, 60, 62}) {
            const uint64_t ticks = (bits == 0 ? 0 : (uint64_t{1} << bits)) + 12345;
            const calib::line l = {slope, static_cast<int64>(now_us - std::ldexp(slope, bits))};
            const int64_t ns = calib::round_long_double(calib::line_tsc_to_ns(l, ticks));
            EXPECT_LE(std::fabs(error_from_exact_line_ns(ns, l, ticks)), 0.51)
                << mhz << " MHz, 2^" << bits << " ticks: " << ns;
            // One tick later never reads earlier.
            EXPECT_GE(calib::round_long_double(calib::line_tsc_to_ns(l, ticks + 1)), ns) << mhz << " 2^" << bits;
        }
    }
}

TEST(CalibrationCounts, NullContextCountsZero)
{
    EXPECT_EQ(calib_step_count(nullptr), 0);
    EXPECT_EQ(calib_update_count(nullptr), 0);
    auto context = context_with(1.0, 0);
    context->stepcount = 3;
    context->updates = 42;
    EXPECT_EQ(calib_step_count(context.get()), 3);
    EXPECT_EQ(calib_update_count(context.get()), 42);
}

} // namespace
