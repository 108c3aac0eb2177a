// The choice of the calibration in force for a process that is neither
// local-only nor the owner: another process's area while its heartbeat
// moves, its own context otherwise; the area mapped by the start's look,
// never by a reading.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "tests/support/component_state.h"
#include "tests/support/recording_base.h"
#include "time/yaltime_entry.h"

namespace {

constexpr YALTIME_TSC_T Rate = 3000000000ull;

class Selection : public ::testing::Test {
protected:
    void SetUp() override
    {
        recording_base::install();
        component_state::reset(Rate);
        component_state::set_record(&Thread_calibration, 0.0, 111000000); // own: 111 s
        area = std::make_unique<calibration_context_t>();
        std::memset(area.get(), 0, sizeof *area);
        component_state::set_record(area.get(), 0.0, 222000000); // owner's: 222 s
    }

    // The area under the name, mapped by the start's look.
    void offer_area(long size = sizeof(calibration_context_t))
    {
        recording_base::shared_area = {area.get(), size};
        area_watch_start();
    }

    std::unique_ptr<calibration_context_t> area;
};

TEST_F(Selection, LocalOnlyUsesItsOwnContextAndNeverMaps)
{
    Calibration_local_only.store(true);
    offer_area();
    area->activity = 7;
    EXPECT_EQ(func_YALTIME_GET_CALIBRATION(), 0);
    EXPECT_DOUBLE_EQ(func_YALTIME_NOW(), 111.0);
    EXPECT_EQ(func_YALTIME_GET_CALIBRATION(), 3);
    EXPECT_EQ(recording_base::mmap_r_calls, 0);
}

TEST_F(Selection, TheOwnerUsesTheAreaWithoutLookingAtTheHeartbeat)
{
    Master_calibration.store(area.get());
    Calibration_using.store(CALIBRATION_OWNER);
    EXPECT_DOUBLE_EQ(func_YALTIME_NOW(), 222.0);
    EXPECT_EQ(func_YALTIME_GET_CALIBRATION(), 1);
    EXPECT_EQ(Master_last_activity_tsc.load(), 0u);
}

TEST_F(Selection, NoAreaMeansOwnContextAndReadingsNeverMap)
{
    area_watch_start();
    EXPECT_EQ(recording_base::mmap_r_calls, 1);
    EXPECT_EQ(func_YALTIME_GET_CALIBRATION(), 0);
    EXPECT_DOUBLE_EQ(func_YALTIME_NOW(), 111.0);
    EXPECT_EQ(func_YALTIME_GET_CALIBRATION(), 3);
    for (int i = 0; i < 100; ++i)
        func_YALTIME_NOW();
    Master_last_activity_tsc.store(rdtsc() - 2 * Rate); // long after the last attempt
    func_YALTIME_NOW();
    EXPECT_EQ(recording_base::mmap_r_calls, 1) << "no reading maps";
}

TEST_F(Selection, ALiveOwnersAreaIsUsedAndAStaleOneAbandoned)
{
    offer_area();
    area->activity = 5;
    EXPECT_DOUBLE_EQ(func_YALTIME_NOW(), 222.0);
    EXPECT_EQ(func_YALTIME_GET_CALIBRATION(), 2);
    EXPECT_EQ(Master_last_activity.load(), 5);

    // Unchanged for 9 whole seconds and a bit: still trusted.
    Master_last_activity_tsc.store(rdtsc() - 9 * Rate - Rate / 2);
    EXPECT_DOUBLE_EQ(func_YALTIME_NOW(), 222.0);
    EXPECT_EQ(func_YALTIME_GET_CALIBRATION(), 2);

    // Unchanged for 10 whole seconds: own context.
    Master_last_activity_tsc.store(rdtsc() - 10 * Rate);
    EXPECT_DOUBLE_EQ(func_YALTIME_NOW(), 111.0);
    EXPECT_EQ(func_YALTIME_GET_CALIBRATION(), 3);

    // The heartbeat moves again: back to the area.
    area->activity = 6;
    EXPECT_DOUBLE_EQ(func_YALTIME_NOW(), 222.0);
    EXPECT_EQ(func_YALTIME_GET_CALIBRATION(), 2);
    EXPECT_EQ(recording_base::mmap_r_calls, 1) << "mapped at start only: readings never look at the name";
    EXPECT_EQ(Master_calibration.load(), area.get()) << "the same object under the name: kept";
}

TEST_F(Selection, AClearedAreaWhoseOwnerHasNotTickedCountsAsStale)
{
    offer_area();
    area->activity = 0;
    EXPECT_DOUBLE_EQ(func_YALTIME_NOW(), 111.0);
    EXPECT_EQ(func_YALTIME_GET_CALIBRATION(), 3);
    EXPECT_EQ(Master_calibration.load(), area.get()) << "mapped all the same";
}

TEST_F(Selection, AnAreaOfTheWrongSizeIsFatalAndNeverUsed)
{
    offer_area(4096);
    area->activity = 9;
    EXPECT_DOUBLE_EQ(func_YALTIME_NOW(), 111.0);
    ASSERT_EQ(recording_base::failures.size(), 1u);
    EXPECT_EQ(recording_base::failures[0], "get_active_calibration: invalid size (4096) of yal_time_master");
    EXPECT_EQ(Master_calibration.load(), nullptr);
}

TEST_F(Selection, AnAreaWithAForeignIndexFallsBackToTheOsClock)
{
    offer_area();
    area->activity = 3;
    area->idx = -1; // an owner restarting its calibration
    const double before = os_gettime();
    EXPECT_GE(func_YALTIME_NOW(), before);
    area->idx = 5000;
    EXPECT_GE(func_YALTIME_NOW(), before);
    EXPECT_EQ(time_fail_count.load(), 2u);
    EXPECT_EQ(func_YALTIME_GET_TSC_PERIOD(), TSC_period.load()) << "no period from a record outside the ring";
}

TEST_F(Selection, StepAndUpdateCountsComeFromTheContextInForce)
{
    Thread_calibration.stepcount = 1;
    Thread_calibration.updates = 10;
    area->stepcount = 4;
    area->updates = 70;
    area->activity = 1;
    EXPECT_EQ(func_YALTIME_GET_STEP_COUNT(), 1); // no area yet
    EXPECT_EQ(func_YALTIME_GET_UPDATE_COUNT(), 10);
    offer_area();
    Master_last_activity_tsc.store(rdtsc() - 3 * Rate);
    EXPECT_EQ(func_YALTIME_GET_STEP_COUNT(), 4);
    EXPECT_EQ(func_YALTIME_GET_UPDATE_COUNT(), 70);
}

} // namespace
