// The arithmetic of the TSC discipline: conversions, the slope and the offset
// from readings, and the loop filter's step, slew, jitter, stability and poll
// interval.  No clock is read here; every input is a plain value.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "sim_clock.h"
#include "time/calibration.h"
#include "time/tsci2_loopfilter_internal.h"

namespace {

using tsci2::sub_sample;

constexpr double TWO_POW_63 = 9223372036854775808.0;

struct timeval tv_of(int64 sec, int64 usec)
{
    struct timeval tv;
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(sec);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>(usec);
    return tv;
}

// A sub-sample against slope 1.0 and intercept 0: ticks are microseconds.
// The OS reading is at 1000000 s; forth = os - tsc_begin, back = tsc_end - os.
sub_sample sample_with(int64 forth, int64 back)
{
    const int64 os = 1000000 * int64{1000000};
    return sub_sample{static_cast<uint64>(os - forth), tv_of(1000000, 0), static_cast<uint64>(os + back)};
}

// ---- conversions ------------------------------------------------------------

TEST(DisciplineConversion, DoubleToInt64TruncatesTowardZeroInRange)
{
    EXPECT_EQ(tsci2::double_to_int64(2.9), 2);
    EXPECT_EQ(tsci2::double_to_int64(-2.9), -2);
    EXPECT_EQ(tsci2::double_to_int64(-0.5), 0);
    EXPECT_EQ(tsci2::double_to_int64(0.0), 0);
    EXPECT_EQ(tsci2::double_to_int64(1.7e15 + 0.75), 1700000000000000);
    EXPECT_EQ(tsci2::double_to_int64(-TWO_POW_63), std::numeric_limits<int64>::min());
    EXPECT_EQ(tsci2::double_to_int64(9223372036854774784.0), 9223372036854774784);
}

TEST(DisciplineConversion, DoubleToInt64IsDefinedOutsideTheRange)
{
    EXPECT_EQ(tsci2::double_to_int64(std::nan("")), 0);
    EXPECT_EQ(tsci2::double_to_int64(TWO_POW_63), std::numeric_limits<int64>::max());
    EXPECT_EQ(tsci2::double_to_int64(1e300), std::numeric_limits<int64>::max());
    EXPECT_EQ(tsci2::double_to_int64(std::numeric_limits<double>::infinity()), std::numeric_limits<int64>::max());
    EXPECT_EQ(tsci2::double_to_int64(-1e300), std::numeric_limits<int64>::min());
    EXPECT_EQ(tsci2::double_to_int64(-std::numeric_limits<double>::infinity()),
              std::numeric_limits<int64>::min());
}

TEST(DisciplineConversion, UnsignedCountGoesThroughSignedBits)
{
    EXPECT_EQ(tsci2::double_to_uint64_via_int64(12.99), 12u);
    EXPECT_EQ(tsci2::double_to_uint64_via_int64(-1.5), std::numeric_limits<uint64>::max());
    EXPECT_EQ(tsci2::double_to_uint64_via_int64(std::nan("")), 0u);
    EXPECT_EQ(tsci2::double_to_uint64_via_int64(1e30), static_cast<uint64>(std::numeric_limits<int64>::max()));
}

TEST(DisciplineConversion, RingIndexWrapsIntoTheTable)
{
    EXPECT_EQ(tsci2::ring_index(0), 0);
    EXPECT_EQ(tsci2::ring_index(1023), 1023);
    EXPECT_EQ(tsci2::ring_index(1024), 0);
    EXPECT_EQ(tsci2::ring_index(-1), 1023);
}

TEST(DisciplineConversion, TimevalMicroseconds)
{
    EXPECT_EQ(tsci2::timeval_usecs(tv_of(1700000000, 999999)), 1700000000999999);
    EXPECT_EQ(tsci2::timeval_usecs(tv_of(0, 7)), 7);
    EXPECT_EQ(tsci2::timeval_usecs(tv_of(-1, 0)), -1000000);
}

// ---- slope of the initial calibration ------------------------------------------

// Readings of both clocks: TSC midpoints and monotonic nanoseconds; the
// real-time clock is set back a second between them and must not count.
TEST(DisciplineSlope, MonotonicMicrosecondsOverTicks)
{
    struct {
        uint64 tsc0;
        int64 mono0_ns;
        uint64 tsc1;
        int64 mono1_ns;
        double slope;
    } cases[] = {
        {1000, 5000000000, 1000 + 3000000000ull, 6000000000, 1e6 / 3e9}, // 3 GHz over one second
        {0, 10999999000, 1000002, 12000001000, 1.0},                     // across whole seconds
        {0, 0, 1000000, 999999999, 0.999999999},                         // nanoseconds count
        {2000000, 100000000000, 1000000, 101000000000, -1.0},            // ticks back: signed, not 2^64 - 1e6
    };
    for (const auto &c : cases) {
        const sub_sample begin{c.tsc0 - 7, tv_of(1700000000, 0), c.tsc0 + 7, c.mono0_ns};
        const sub_sample end{c.tsc1, tv_of(1699999999, 0), c.tsc1, c.mono1_ns};
        EXPECT_DOUBLE_EQ(tsci2::slope_from_readings(begin, end), c.slope) << c.tsc1;
    }
}

TEST(DisciplineSlope, KeptWhenPositiveAndNearASecondMeasurement)
{
    const double s = 1.0 / 3000;
    EXPECT_TRUE(tsci2::slope_plausible(s, s * 1.049));
    EXPECT_TRUE(tsci2::slope_plausible(s, s * 0.951));
    EXPECT_FALSE(tsci2::slope_plausible(s, s * 1.06)) << "the TSC jumped in one of the spans";
    EXPECT_FALSE(tsci2::slope_plausible(s, -s));
    EXPECT_FALSE(tsci2::slope_plausible(-s, -s)) << "never a negative slope";
    EXPECT_FALSE(tsci2::slope_plausible(0.0, 0.0));
    EXPECT_FALSE(tsci2::slope_plausible(std::nan(""), s));
    EXPECT_FALSE(tsci2::slope_plausible(s, std::numeric_limits<double>::infinity()));
}

// ---- sub-samples: the initial intercept -------------------------------------------

TEST(DisciplineIntercept, TruncatedTowardZero)
{
    sub_sample plus[SUB_SAMPLES], minus[SUB_SAMPLES];
    for (int i = 0; i < SUB_SAMPLES; ++i) {
        plus[i] = sample_with(10, 3);  // min_delta1 - min_delta2 = 7
        minus[i] = sample_with(3, 10); // -7
    }
    EXPECT_EQ(tsci2::intercept_from_sub_samples(plus, SUB_SAMPLES, 1.0), 3);
    EXPECT_EQ(tsci2::intercept_from_sub_samples(minus, SUB_SAMPLES, 1.0), -3);
}

TEST(DisciplineIntercept, ProductTruncatedBeforeTheDifference)
{
    // slope 0.5: t1 = trunc(3 * 0.5) = 1, t3 = trunc(5 * 0.5) = 2, t2 = 2.
    sub_sample s{3, tv_of(0, 2), 5};
    int64 delta1 = 0, delta2 = 0;
    tsci2::calibration_deltas(s, 0.5, &delta1, &delta2);
    EXPECT_EQ(delta1, 1);
    EXPECT_EQ(delta2, 0);
}

TEST(DisciplineIntercept, ZeroMinimumCountsAsUnset)
{
    // The first delta1 is exactly 0; the larger 9 of the second replaces it.
    sub_sample samples[SUB_SAMPLES];
    samples[0] = sample_with(0, 5);
    for (int i = 1; i < SUB_SAMPLES; ++i)
        samples[i] = sample_with(9, 5);
    EXPECT_EQ(tsci2::intercept_from_sub_samples(samples, SUB_SAMPLES, 1.0), 2); // (9 - 5) / 2
}

// ---- sub-samples: the offset -------------------------------------------------------

TEST(DisciplineOffset, HalfDifferenceTruncatesTowardZero)
{
    EXPECT_EQ(tsci2::half_difference(-2, 3), -2); // -5 / 2
    EXPECT_EQ(tsci2::half_difference(3, -2), 2);  // 5 / 2
    EXPECT_EQ(tsci2::half_difference(500, -500), 500);
}

TEST(DisciplineOffset, MinusFiveGivesMinusTwo)
{
    sub_sample samples[SUB_SAMPLES];
    for (int i = 0; i < SUB_SAMPLES; ++i)
        samples[i] = sample_with(-2 + i, 3 + i); // minima -2 and 3
    EXPECT_EQ(tsci2::offset_from_sub_samples(samples, SUB_SAMPLES, 1.0, 0), -2);
    for (int i = 0; i < SUB_SAMPLES; ++i)
        samples[i] = sample_with(3 + i, -2 + i); // minima 3 and -2
    EXPECT_EQ(tsci2::offset_from_sub_samples(samples, SUB_SAMPLES, 1.0, 0), 2);
}

TEST(DisciplineOffset, ZeroMinimumCountsAsUnsetInBothDirections)
{
    sub_sample samples[SUB_SAMPLES];
    samples[0] = sample_with(0, 0);
    for (int i = 1; i < SUB_SAMPLES; ++i)
        samples[i] = sample_with(20, 6);
    EXPECT_EQ(tsci2::offset_from_sub_samples(samples, SUB_SAMPLES, 1.0, 0), 7); // (20 - 6) / 2

    int64 min_delta = 0;
    tsci2::keep_minimum(&min_delta, 0);
    EXPECT_EQ(min_delta, 0);
    tsci2::keep_minimum(&min_delta, 12);
    EXPECT_EQ(min_delta, 12);
    tsci2::keep_minimum(&min_delta, 13);
    EXPECT_EQ(min_delta, 12);
    tsci2::keep_minimum(&min_delta, -4);
    EXPECT_EQ(min_delta, -4);
}

TEST(DisciplineOffset, ThreeReadingsAtOneInstant)
{
    // Record slope 1.0, intercept 1.7e15 - 5e6: tick 5e6 reads 1.7e15 microseconds.
    const int64 intercept = 1700000000000000 - 5000000;
    sub_sample exact[SUB_SAMPLES], ahead[SUB_SAMPLES], behind[SUB_SAMPLES];
    for (int i = 0; i < SUB_SAMPLES; ++i) {
        const uint64 tsc = 5001000 + 100 * i;
        exact[i] = {tsc, tv_of(1700000000, 1000 + 100 * i), tsc};
        ahead[i] = {tsc, tv_of(1700000000, 1500 + 100 * i), tsc};
        behind[i] = {tsc, tv_of(1700000000, 500 + 100 * i), tsc};
    }
    EXPECT_EQ(tsci2::offset_from_sub_samples(exact, SUB_SAMPLES, 1.0, intercept), 0);

    int64 forth = 0, back = 0;
    tsci2::offset_deltas(ahead[0], 1.0, intercept, &forth, &back);
    EXPECT_EQ(forth, 500);
    EXPECT_EQ(back, -500);
    EXPECT_EQ(tsci2::offset_from_sub_samples(ahead, SUB_SAMPLES, 1.0, intercept), 500);
    EXPECT_EQ(tsci2::offset_from_sub_samples(behind, SUB_SAMPLES, 1.0, intercept), -500);
}

TEST(DisciplineOffset, NegativeAndNonFiniteProductsAreDefined)
{
    // A negative intercept makes usecs_begin "negative": taken through the
    // signed value, the differences come out as ordinary signed numbers.
    int64 forth = 0, back = 0;
    tsci2::offset_deltas(sub_sample{10, tv_of(0, 5), 20}, 1.0, -1000, &forth, &back);
    EXPECT_EQ(forth, 5 - (10 - 1000));
    EXPECT_EQ(back, (20 - 1000) - 5);

    // NaN slope: the conversions give 0.
    tsci2::offset_deltas(sub_sample{10, tv_of(0, 5), 20}, std::nan(""), 0, &forth, &back);
    EXPECT_EQ(forth, 5);
    EXPECT_EQ(back, -5);
    int64 delta1 = 0, delta2 = 0;
    tsci2::calibration_deltas(sub_sample{10, tv_of(0, 5), 20}, std::numeric_limits<double>::infinity(), &delta1,
                              &delta2);
    EXPECT_EQ(delta2, static_cast<int64>(static_cast<uint64>(std::numeric_limits<int64>::max()) - 5));
}

// ---- loop filter -----------------------------------------------------------------

class LoopFilter : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset_loop_globals();
        context = sim::zeroed_context();
    }
    void TearDown() override { sim::reset_loop_globals(); }

    // Record `idx` in force (idx = valid_idx), loop in S_SYNC with the
    // previous measurement at last_time, that measurement not a step.
    void in_sync(int32_t idx, double slope, int64 intercept, uint64 last_time)
    {
        context->idx = idx;
        context->valid_idx = idx;
        context->calib_table[idx] = {slope, intercept};
        tsci2_state = S_SYNC;
        tsci2_last_time = last_time;
        tsci2_poll_factor = 16;
    }

    std::unique_ptr<calibration_context_t> context;
};

TEST_F(LoopFilter, FirstMeasurementSteps)
{
    context->calib_table[0] = {0.001, 1000000};
    tsci2_state = S_NSET;
    tsci2_poll_factor = 40;

    EXPECT_EQ(tsci2::loop_filter(context.get(), 777, 1234), 1);

    EXPECT_EQ(context->stepcount, 1);
    EXPECT_EQ(context->calib_table[1].slope, 0.001);
    EXPECT_EQ(context->calib_table[1].intercept, 1001234);
    EXPECT_EQ(context->valid_idx, 1);
    EXPECT_EQ(context->idx, 1);
    EXPECT_EQ(context->updates, 0);
    EXPECT_EQ(tsci2_state, S_SYNC);
    EXPECT_EQ(tsci2_last_time, 777u);
    EXPECT_EQ(tsci2_last_offset, 0);
    EXPECT_EQ(tsci2_poll_factor, 16u);
    EXPECT_EQ(tsci2_jitter, 0.0);
    EXPECT_EQ(tsci2_stability, 0.0);
    EXPECT_EQ(context->calib_table[0].intercept, 1000000); // the record in force before is untouched
}

TEST_F(LoopFilter, StepWrapsAtTheEndOfTheRing)
{
    in_sync(1023, 0.5, 10, 0);
    tsci2::step_tsctime(context.get(), 0, -30);
    EXPECT_EQ(context->idx, 0);
    EXPECT_EQ(context->valid_idx, 0);
    EXPECT_EQ(context->calib_table[0].slope, 0.5);
    EXPECT_EQ(context->calib_table[0].intercept, -20);
}

// Checks a slew from record idx with slope 1.0 and intercept 5000 at epoch 0
// (so the anchor is 0 and b = 5000): the slices and the records written.
void expect_slices(calibration_context_t *context, int32_t idx, int64 fp_offset, int64 iterations, int64 slice)
{
    const double etemp = context->calib_table[(idx + 1) % CALIB_TABLE_SIZE].slope;
    for (int64 i = 1; i <= iterations; ++i) {
        const calibration_record_t &r = context->calib_table[(idx + i) % CALIB_TABLE_SIZE];
        EXPECT_EQ(r.slope, etemp) << "record " << i << " of offset " << fp_offset;
        EXPECT_EQ(r.intercept, 5000 + i * slice) << "record " << i << " of offset " << fp_offset;
    }
    const calibration_record_t &after = context->calib_table[(idx + iterations + 1) % CALIB_TABLE_SIZE];
    EXPECT_EQ(after.slope, 0.0) << "nothing beyond the last slice, offset " << fp_offset;
    EXPECT_EQ(after.intercept, 0) << "nothing beyond the last slice, offset " << fp_offset;
    EXPECT_EQ(context->valid_idx, (idx + iterations) % CALIB_TABLE_SIZE);
    EXPECT_EQ(context->idx, idx) << "a slew does not move idx";
}

TEST_F(LoopFilter, SlewSlicesAndRemainders)
{
    struct {
        int64 offset, iterations, slice;
    } cases[] = {{7, 7, 1}, {-7, 7, -1}, {0, 10, 0}, {10, 10, 1}, {11, 10, 1},
                 {25, 10, 2}, {-25, 10, -2}, {3, 3, 1}, {-1, 1, -1}, {9999, 10, 999}};
    for (const auto &c : cases) {
        context = sim::zeroed_context();
        // epoch 0: the anchor epoch * dtemp is 0 whatever dtemp is.
        in_sync(100, 1.0, 5000, static_cast<uint64>(-16000000));
        EXPECT_EQ(tsci2::slew_iterations(c.offset), c.iterations);
        tsci2::slew_tsctime(context.get(), 0, c.offset);
        expect_slices(context.get(), 100, c.offset, c.iterations, c.slice);
        EXPECT_EQ(context->calib_table[100].intercept, 5000) << "the record in force is not rewritten";
    }
}

TEST_F(LoopFilter, SlewOfZeroKeepsTheSlope)
{
    in_sync(4, 0.001, 5000, 1000);
    EXPECT_EQ(tsci2::slew_tsctime(context.get(), 17001000, 0), 0.0);
    for (int i = 5; i <= 14; ++i) {
        EXPECT_EQ(context->calib_table[i].slope, 0.001);
        EXPECT_EQ(context->calib_table[i].intercept, 5000);
    }
    EXPECT_EQ(context->valid_idx, 14);
}

TEST_F(LoopFilter, SlewWrapsAroundTheRingFrom1020)
{
    in_sync(1020, 1.0, 5000, static_cast<uint64>(-1000000));
    tsci2::slew_tsctime(context.get(), 0, 100);
    const int32_t expected[] = {1021, 1022, 1023, 0, 1, 2, 3, 4, 5, 6};
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(context->calib_table[expected[i]].intercept, 5000 + 10 * (i + 1)) << "index " << expected[i];
    EXPECT_EQ(context->calib_table[7].intercept, 0);
    EXPECT_EQ(context->calib_table[1019].intercept, 0);
    EXPECT_EQ(context->valid_idx, 6);
    EXPECT_EQ(context->idx, 1020);
}

TEST_F(LoopFilter, SlewFrequencyExampleOf468Point75Ppm)
{
    // 10000 microseconds over 16 seconds of a 1 GHz TSC (slope 0.001).
    const uint64 last = 1000000000000ull;
    const uint64 epoch = last + 16000000000ull;
    in_sync(0, 0.001, 1000, last);
    const double delta_freq = tsci2::slew_tsctime(context.get(), epoch, 10000);
    EXPECT_NEAR(context->calib_table[1].slope - 0.001, 4.6875e-7, 1e-18);
    EXPECT_DOUBLE_EQ(delta_freq, 468.75);

    // The new line meets the old one at the epoch, up to the truncation of
    // the anchor; the first slice (1000) applies from there.
    const double old_at_epoch = static_cast<double>(epoch) * 0.001 + 1000.0;
    const calibration_record_t &r1 = context->calib_table[1];
    const double new_at_epoch = static_cast<double>(epoch) * r1.slope + static_cast<double>(r1.intercept);
    EXPECT_GT(new_at_epoch - old_at_epoch, 1000.0 - 1e-3);
    EXPECT_LT(new_at_epoch - old_at_epoch, 1001.0 + 1e-3);
}

TEST_F(LoopFilter, SlewFromLoopFilterRecordsTheOffset)
{
    in_sync(0, 0.001, 1000, 1000);
    EXPECT_EQ(tsci2::loop_filter(context.get(), 16000001000ull, 500), 0);
    EXPECT_EQ(tsci2_state, S_SYNC);
    EXPECT_EQ(tsci2_last_time, 16000001000ull);
    EXPECT_EQ(tsci2_last_offset, 500);
    EXPECT_EQ(context->valid_idx, 10);
    EXPECT_EQ(context->idx, 0);
    EXPECT_EQ(context->stepcount, 0);
    // delta_freq = 0.75 * 500 / 1.6e10 * 1e6 / 0.001 = 23.4375 ppm; stability sqrt(23.4375^2 / 4).
    EXPECT_DOUBLE_EQ(tsci2_stability, 23.4375 / 2);
    EXPECT_DOUBLE_EQ(tsci2_jitter, 250.0);
    EXPECT_EQ(tsci2_poll_factor, 16u); // above the limit, already at the minimum
}

TEST_F(LoopFilter, JitterSequenceEightThenZero)
{
    in_sync(0, 0.001, 0, 0);
    tsci2::loop_filter(context.get(), 16000000000ull, 8);
    EXPECT_DOUBLE_EQ(tsci2_jitter, 4.0);
    context->idx = context->valid_idx;
    tsci2::loop_filter(context.get(), 32000000000ull, 0);
    EXPECT_DOUBLE_EQ(tsci2_jitter, std::sqrt(12.0));
    EXPECT_EQ(tsci2_state, S_SYNC);
}

// Makes delta_freq exactly 2.0: offset 8 over 3 * 2^20 ticks gives dtemp
// 2^-19 exactly, and slope 1e6 * 2^-20 turns that into 2.0 ppm.
constexpr double SLOPE_FOR_TWO_PPM = 0.95367431640625; // 1e6 / 2^20
constexpr uint64 TICKS_FOR_TWO_PPM = 3ull << 20;

TEST_F(LoopFilter, StabilityOfExactlyTwoLengthensThePoll)
{
    in_sync(0, SLOPE_FOR_TWO_PPM, 0, 1ull << 40);
    tsci2_stability = 2.0;
    tsci2_poll_factor = 30;
    EXPECT_DOUBLE_EQ(tsci2::slew_tsctime(context.get(), (1ull << 40) + TICKS_FOR_TWO_PPM, 8), 2.0);

    context = sim::zeroed_context();
    in_sync(0, SLOPE_FOR_TWO_PPM, 0, 1ull << 40);
    tsci2_stability = 2.0;
    tsci2_poll_factor = 30;
    tsci2::loop_filter(context.get(), (1ull << 40) + TICKS_FOR_TWO_PPM, 8);
    ASSERT_EQ(tsci2_stability, 2.0); // exactly
    EXPECT_EQ(tsci2_poll_factor, 31u);
}

TEST_F(LoopFilter, StabilityJustAboveTwoShortensThePoll)
{
    in_sync(0, SLOPE_FOR_TWO_PPM, 0, 1ull << 40);
    tsci2_stability = 2.001;
    tsci2_poll_factor = 30;
    tsci2::loop_filter(context.get(), (1ull << 40) + TICKS_FOR_TWO_PPM, 8);
    ASSERT_GT(tsci2_stability, 2.0);
    EXPECT_EQ(tsci2_poll_factor, 29u);
}

TEST_F(LoopFilter, PollFactorStaysWithinItsBounds)
{
    // Stability at or below 2.0 at 64: stays 64.
    in_sync(0, SLOPE_FOR_TWO_PPM, 0, 1ull << 40);
    tsci2_stability = 2.0;
    tsci2_poll_factor = 64;
    tsci2::loop_filter(context.get(), (1ull << 40) + TICKS_FOR_TWO_PPM, 8);
    EXPECT_EQ(tsci2_poll_factor, 64u);

    // Large corrections at 16: stays 16.
    context = sim::zeroed_context();
    in_sync(0, 0.001, 0, 0);
    tsci2_stability = 100.0;
    tsci2_poll_factor = 16;
    tsci2::loop_filter(context.get(), 16000000000ull, 10000);
    EXPECT_GT(tsci2_stability, 2.0);
    EXPECT_EQ(tsci2_poll_factor, 16u);
}

TEST_F(LoopFilter, OffsetsBeyondTheStepLimitAreStepped)
{
    for (int64 offset : {int64{TSCI2_STEP_LIMIT + 1}, int64{-TSCI2_STEP_LIMIT - 1}, int64{3600000000},
                         int64{-3600000000}, std::numeric_limits<int64>::min()}) {
        context = sim::zeroed_context();
        in_sync(7, 0.001, 1000000, 0);
        tsci2_jitter = 3.5;
        tsci2_stability = 0.25;
        tsci2_poll_factor = 50;
        tsci2_last_offset = 99;

        EXPECT_EQ(tsci2::loop_filter(context.get(), 64000000000ull, offset), 1) << offset;
        EXPECT_EQ(context->stepcount, 1) << offset;
        EXPECT_EQ(context->idx, 8) << offset;
        EXPECT_EQ(context->valid_idx, 8) << offset;
        EXPECT_EQ(context->calib_table[8].slope, 0.001) << offset;
        EXPECT_EQ(context->calib_table[8].intercept, tsci2::wrap_add(1000000, offset)) << offset;
        EXPECT_EQ(context->calib_table[9].intercept, 0) << offset;
        EXPECT_EQ(tsci2_state, S_SYNC) << offset;
        EXPECT_EQ(tsci2_last_time, 64000000000ull) << offset;
        EXPECT_EQ(tsci2_last_offset, 0) << offset;
        EXPECT_EQ(tsci2_poll_factor, 16u) << offset;
        EXPECT_EQ(tsci2_jitter, 3.5) << offset;
        EXPECT_EQ(tsci2_stability, 0.25) << offset;
    }
}

TEST_F(LoopFilter, OffsetsAtTheStepLimitAreSlewed)
{
    for (int64 offset : {int64{TSCI2_STEP_LIMIT}, int64{-TSCI2_STEP_LIMIT}}) {
        context = sim::zeroed_context();
        in_sync(7, 0.001, 1000000, 0);
        tsci2_jitter = 0.0;
        EXPECT_EQ(tsci2::loop_filter(context.get(), 64000000000ull, offset), 0) << offset;
        EXPECT_EQ(context->stepcount, 0) << offset;
        EXPECT_EQ(context->idx, 7) << offset;
        EXPECT_EQ(context->valid_idx, 17) << offset;
        EXPECT_EQ(tsci2_state, S_SYNC) << offset;
        EXPECT_EQ(tsci2_last_offset, offset) << offset;
        EXPECT_DOUBLE_EQ(tsci2_jitter, static_cast<double>(TSCI2_STEP_LIMIT) / 2) << offset;
    }
}

TEST_F(LoopFilter, LargeOffsetsStepInAnyStateAfterTheFirst)
{
    for (int state : {S_FREQ, S_SPIK, 7}) {
        context = sim::zeroed_context();
        in_sync(0, 0.001, 0, 0);
        tsci2_state = state;
        EXPECT_EQ(tsci2::loop_filter(context.get(), 5, 200000), 1) << state;
        EXPECT_EQ(context->stepcount, 1) << state;
        EXPECT_EQ(tsci2_state, S_SYNC) << state;
        EXPECT_EQ(tsci2_last_offset, 0) << state;
    }
}

TEST_F(LoopFilter, UpdatedJitterNeverFlagsASpike)
{
    in_sync(0, 0.001, 0, 0);
    uint64 epoch = 0;
    for (int64 offset : {int64{1}, int64{1000}, int64{-100000}, int64{0}, int64{127999}, int64{-3}, int64{128000}}) {
        epoch += 16000000000ull;
        context->idx = context->valid_idx;
        EXPECT_EQ(tsci2::loop_filter(context.get(), epoch, offset), 0) << offset;
        EXPECT_EQ(tsci2_state, S_SYNC) << offset;
        EXPECT_EQ(tsci2_last_offset, offset);
    }
}

TEST_F(LoopFilter, SpikeStateReturnsToSyncWithoutWriting)
{
    in_sync(3, 0.001, 0, 0);
    tsci2_state = S_SPIK;
    tsci2_stability = 4.0;
    tsci2_poll_factor = 20;
    EXPECT_EQ(tsci2::loop_filter(context.get(), 99, 40), 0);
    EXPECT_EQ(tsci2_state, S_SYNC);
    EXPECT_EQ(tsci2_last_time, 99u);
    EXPECT_EQ(tsci2_last_offset, 40);
    EXPECT_DOUBLE_EQ(tsci2_jitter, 20.0);
    EXPECT_DOUBLE_EQ(tsci2_stability, std::sqrt(12.0)); // decays as with a zero sample
    EXPECT_EQ(tsci2_poll_factor, 20u);                   // not tuned
    EXPECT_EQ(context->valid_idx, 3);
    EXPECT_EQ(context->calib_table[4].slope, 0.0);
}

TEST_F(LoopFilter, UndefinedStateOnlyUpdatesJitterAndStability)
{
    in_sync(3, 0.001, 0, 0);
    tsci2_state = S_FREQ;
    tsci2_last_time = 5;
    tsci2_stability = 4.0;
    EXPECT_EQ(tsci2::loop_filter(context.get(), 99, 40), 0);
    EXPECT_EQ(tsci2_state, S_FREQ);
    EXPECT_EQ(tsci2_last_time, 5u);
    EXPECT_DOUBLE_EQ(tsci2_jitter, 20.0);
    EXPECT_DOUBLE_EQ(tsci2_stability, std::sqrt(12.0));
    EXPECT_EQ(context->valid_idx, 3);
}

TEST_F(LoopFilter, InitSetsTheStartState)
{
    auto clock = sim::sim_clock::exact_1mhz();
    sim::installed use(*clock);
    tsci2_state = S_SYNC;
    tsci2_jitter = 5.0;
    tsci2_stability = 6.0;
    tsci2_last_offset = 17;
    clock->t_ns = 42000;
    tsci2::init_loopfilter(context.get());
    EXPECT_EQ(tsci2_state, S_NSET);
    EXPECT_EQ(tsci2_last_time, clock->tsc_at(42000));
    EXPECT_EQ(tsci2_last_offset, 0);
    EXPECT_EQ(tsci2_jitter, 0.0);
    EXPECT_EQ(tsci2_stability, 0.0);
}

// The loop itself no longer guesses a rate from a poll right after a step:
// an offset beyond the step limit is stepped with the slope kept (the rate
// is the discipline's to measure).
TEST_F(LoopFilter, PollAfterAStepKeepsTheSlope)
{
    in_sync(0, 0.001, 0, 1000000000000ull);
    EXPECT_EQ(tsci2::loop_filter(context.get(), 1000000000000ull + 16000000000ull, 160000), 1);
    EXPECT_EQ(context->calib_table[1].slope, 0.001);
    EXPECT_EQ(context->calib_table[1].intercept, 160000);
    EXPECT_EQ(context->stepcount, 1);
}

} // namespace
