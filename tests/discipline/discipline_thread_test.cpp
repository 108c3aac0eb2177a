// The discipline thread one cycle at a time, and the offset poll, against a
// simulated clock whose sleep records what it is asked for.
#include <gtest/gtest.h>

#include <unistd.h>

#include <vector>

#include "sim_clock.h"
#include "time/calibration.h"
#include "time/discipline_cycle.h"
#include "time/tsci2_loopfilter_internal.h"

namespace {

class DisciplineCycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset_loop_globals();
        context = sim::zeroed_context();
        clock = sim::sim_clock::exact_1mhz();
        use = std::make_unique<sim::installed>(*clock);
    }
    void TearDown() override
    {
        use.reset();
        sim::reset_loop_globals();
    }

    // Runs one cycle and returns the sleeps it made.
    std::vector<double> cycle()
    {
        const size_t before = clock->sleeps.size();
        tsci2::discipline_cycle(context.get(), discipline);
        return std::vector<double>(clock->sleeps.begin() + static_cast<long>(before), clock->sleeps.end());
    }

    static bool is_poll(const std::vector<double> &sleeps)
    {
        if (sleeps.size() != 1 + SUB_SAMPLES || sleeps[0] != 1.0)
            return false;
        for (size_t i = 1; i < sleeps.size(); ++i)
            if (sleeps[i] != SUB_SAMPLE_INTERVAL_SECS)
                return false;
        return true;
    }

    std::unique_ptr<calibration_context_t> context;
    std::unique_ptr<sim::sim_clock> clock;
    std::unique_ptr<sim::installed> use;
    tsci2::tsc_discipline discipline; // never started here: the loop writes its own records
};

TEST_F(DisciplineCycle, PollsAtCycleSixteenStepsThenSlews)
{
    tsci2_loopfilter_init(context.get());
    ASSERT_EQ(context->calib_table[0].slope, 1.0);
    ASSERT_EQ(context->calib_table[0].intercept, clock->exact_intercept());

    int activity_at_poll = -1;
    clock->before_sleep = [&](double seconds) {
        if (seconds == SUB_SAMPLE_INTERVAL_SECS && activity_at_poll < 0)
            activity_at_poll = context->activity;
    };

    // Cycles 1..15: a sleep of one second each, no poll.
    for (int n = 1; n < 16; ++n) {
        EXPECT_EQ(cycle(), std::vector<double>{1.0}) << "cycle " << n;
        EXPECT_EQ(context->activity, n);
        EXPECT_EQ(tsci2_poll_timer, static_cast<unsigned>(n));
    }
    // Cycle 16: the first poll, a step.
    EXPECT_TRUE(is_poll(cycle()));
    EXPECT_EQ(activity_at_poll, 16);
    EXPECT_EQ(context->activity, 16);
    EXPECT_EQ(context->stepcount, 1);
    EXPECT_EQ(context->updates, 0);
    EXPECT_EQ(context->idx, 1);
    EXPECT_EQ(context->valid_idx, 1);
    EXPECT_EQ(tsci2_state, S_SYNC);
    EXPECT_EQ(tsci2_poll_timer, 0u);
    EXPECT_EQ(tsci2_poll_factor, 16u);

    // Cycles 17..31: nothing moves.
    for (int n = 17; n < 32; ++n)
        EXPECT_EQ(cycle(), std::vector<double>{1.0}) << "cycle " << n;
    EXPECT_EQ(context->updates, 0);

    // Cycle 32: a slew of ten records (offset 0 on exact clocks), brought
    // into force one per cycle from this cycle on, the last in cycle 41.
    EXPECT_TRUE(is_poll(cycle()));
    EXPECT_EQ(context->valid_idx, 11);
    for (int n = 32; n <= 41; ++n) {
        if (n > 32) {
            EXPECT_EQ(cycle(), std::vector<double>{1.0}) << "cycle " << n;
        }
        EXPECT_EQ(context->updates, n - 31) << "cycle " << n;
        EXPECT_EQ(context->idx, n - 30) << "cycle " << n;
    }
    EXPECT_EQ(tsci2_poll_factor, 17u); // stability 0: longer polls

    // The next poll is 17 cycles after the last: cycle 49.  Let the OS
    // clock run 3 microseconds ahead: a slew of three records.
    for (int n = 42; n < 49; ++n)
        EXPECT_EQ(cycle(), std::vector<double>{1.0}) << "cycle " << n;
    EXPECT_EQ(context->updates, 10);
    clock->os_step_ns = 3000;
    EXPECT_TRUE(is_poll(cycle()));
    EXPECT_EQ(tsci2_last_offset, 3);
    EXPECT_EQ(context->valid_idx, 14);
    cycle();
    cycle();
    cycle();
    EXPECT_EQ(context->updates, 13);
    EXPECT_EQ(context->idx, 14);
    EXPECT_EQ(context->stepcount, 1);
}

// Once the discipline has started, it makes the loop's corrections: the first
// poll's step becomes a step to its estimate, a slew writes no records; the
// loop's state moves as it would on its own.
TEST_F(DisciplineCycle, AStartedDisciplineTakesTheLoopsStepAndWritesNoSlew)
{
    tsci2_loopfilter_init(context.get());
    discipline.start(context.get());
    ASSERT_TRUE(discipline.started());
    for (int n = 1; n <= 16; ++n)
        cycle();
    EXPECT_EQ(context->stepcount, 1);
    EXPECT_EQ(tsci2_state, S_SYNC);
    for (int n = 17; n <= 32; ++n)
        cycle();
    EXPECT_EQ(context->stepcount, 1);
    EXPECT_EQ(context->valid_idx, context->idx); // no slew records ahead
    EXPECT_EQ(context->updates, 32);             // the discipline's record of every cycle
    EXPECT_EQ(tsci2_poll_factor, 17u);           // the slew still counted toward stability
}

TEST_F(DisciplineCycle, StepPollDoesNotCountAnUpdate)
{
    context->calib_table[0] = {1.0, clock->exact_intercept() - 250}; // 250 microseconds behind
    tsci2_state = S_NSET;
    tsci2_poll_factor = 16;
    tsci2_poll_timer = 15;
    EXPECT_TRUE(is_poll(cycle()));
    EXPECT_EQ(context->stepcount, 1);
    EXPECT_EQ(context->updates, 0);
    EXPECT_EQ(context->idx, 1);
    EXPECT_EQ(context->calib_table[1].intercept, clock->exact_intercept());
}

TEST_F(DisciplineCycle, IndexMovesFrom1023To0)
{
    context->idx = 1023;
    context->valid_idx = 1;
    tsci2_poll_factor = 16;
    cycle();
    EXPECT_EQ(context->idx, 0);
    EXPECT_EQ(context->updates, 1);
    cycle();
    EXPECT_EQ(context->idx, 1);
    EXPECT_EQ(context->updates, 2);
    cycle();
    EXPECT_EQ(context->idx, 1);
    EXPECT_EQ(context->updates, 2);
    EXPECT_EQ(context->activity, 3);
}

TEST_F(DisciplineCycle, HeartbeatEveryCycle)
{
    context->calib_table[0] = {1.0, clock->exact_intercept()};
    tsci2_state = S_SYNC;
    tsci2_poll_factor = 16;
    for (int n = 1; n <= 200; ++n)
        cycle();
    EXPECT_EQ(context->activity, 200);
}

TEST_F(DisciplineCycle, PollOffsetAgainstExactClocks)
{
    context->calib_table[0] = {1.0, clock->exact_intercept()};
    int64 offset = 99;
    tsci2::poll_offset(context.get(), &offset);
    EXPECT_EQ(offset, 0);

    clock->os_step_ns = 500000;
    tsci2::poll_offset(context.get(), &offset);
    EXPECT_EQ(offset, 500);

    clock->os_step_ns = -500000;
    tsci2::poll_offset(context.get(), &offset);
    EXPECT_EQ(offset, -500);
}

TEST_F(DisciplineCycle, PollOffsetReturnsTheLastReadingAndSleepsAfterEachSubSample)
{
    // 3 GHz with reading delays, so that every reading differs.
    clock->tsc_num = 3;
    clock->tsc_den = 1;
    clock->tsc_delay_min_ns = 10;
    clock->tsc_delay_max_ns = 40;
    clock->os_delay_min_ns = 100;
    clock->os_delay_max_ns = 400;
    context->idx = 5;
    context->valid_idx = 5;
    context->calib_table[5] = {1.0 / 3000.0, 1700000000000000};

    std::vector<uint64> last_reading_at_sleep;
    clock->before_sleep = [&](double) { last_reading_at_sleep.push_back(clock->last_tsc); };
    int64 offset = 0;
    const uint64 epoch = tsci2::poll_offset(context.get(), &offset);

    EXPECT_EQ(clock->sleeps, std::vector<double>(SUB_SAMPLES, SUB_SAMPLE_INTERVAL_SECS));
    ASSERT_EQ(last_reading_at_sleep.size(), static_cast<size_t>(SUB_SAMPLES));
    EXPECT_EQ(epoch, last_reading_at_sleep.back()); // the tenth sub-sample's second reading
    EXPECT_EQ(epoch, clock->last_tsc);
    EXPECT_NE(last_reading_at_sleep[8], last_reading_at_sleep[9]);
}

// The exported thread entry runs the same cycle for ever, the discipline
// started: watched in a child process whose sleep ends it after 41 cycles,
// with exit code 0 when the context is as 41 cycles leave it (a record of the
// discipline's each cycle, the loop's first poll a step, its slews nothing).
[[noreturn]] void run_thread_for_41_cycles()
{
    sim::reset_loop_globals();
    auto context = sim::zeroed_context();
    auto clock = sim::sim_clock::exact_1mhz();
    sim::installed use(*clock);
    tsci2_loopfilter_init(context.get());
    int one_second_sleeps = 0;
    clock->before_sleep = [&](double seconds) {
        if (seconds != 1.0 || ++one_second_sleeps < 42)
            return;
        const bool ok = context->activity == 41 && context->stepcount == 1 && context->updates == 41 &&
                        context->idx == 42;
        _exit(ok ? 0 : 1);
    };
    tsci2_loopfilter_thread(context.get());
    _exit(2);
}

TEST(DisciplineThreadDeathTest, EntryRunsTheCycleForEver)
{
    EXPECT_EXIT(run_thread_for_41_cycles(), ::testing::ExitedWithCode(0), "");
}

} // namespace
