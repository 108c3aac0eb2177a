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

#if defined(__SIZEOF_INT128__) // the i386 build runs the same x87 arithmetic
// Nanoseconds within a rounding of the record's exact line at every uptime
// up to 2^62 ticks, where a double of the product alone is 100s of ns off.
// Exactly: slope = m * 2^-k with integers m, k, so ticks * m * 1000 is an
// integer of at most 125 bits.  Rounding to whole ns takes 0.5, the long
// double's two roundings at today's date 0.06 each.
TEST(CalibrationConversion, NanosecondsFollowTheExactLineAtEveryTickSize)
{
    for (double mhz : {1000.0, 2399.999, 3000.0, 4999.7})
        for (int bits = 0; bits <= 62; ++bits) {
            const uint64_t ticks = (uint64_t{1} << bits) + 12345;
            const calib::line l = {1.0 / mhz, static_cast<int64>(1.7656e15 - std::ldexp(1.0 / mhz, bits))};
            int k = 0;
            const auto m = static_cast<uint64_t>(std::ldexp(std::frexp(l.slope, &k), 53));
            k = 53 - k;
            const unsigned __int128 product = static_cast<unsigned __int128>(ticks) * m * 1000;
            const auto whole_ns = static_cast<int64_t>(product >> k) + l.intercept * 1000;
            const unsigned __int128 below_ns = product & ((static_cast<unsigned __int128>(1) << k) - 1);
            const long double fraction_ns = std::ldexp(static_cast<long double>(below_ns), -k);
            const int64_t ns = calib::round_long_double(calib::line_tsc_to_ns(l, ticks));
            EXPECT_LE(std::fabs(static_cast<double>(static_cast<long double>(ns - whole_ns) - fraction_ns)), 0.75)
                << mhz << " MHz, 2^" << bits << " ticks: " << ns;
        }
}
#endif

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
