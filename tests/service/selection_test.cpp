// The choice of the calibration in force for a process that is neither
// local-only nor the owner: another process's area while its heartbeat
// moves, its own context otherwise; the area mapped by the start's look,
// never by a reading.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "tests/support/component_state.h"
#include "tests/support/recording_base.h"
#include "time/area_watch.h"
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

// ---- the discipline thread's watch of the name, one cycle at a time ----

namespace watch {

// One object mapped at as many addresses as asked, as a host that maps anew
// would give it.
class shared_object {
public:
    explicit shared_object(size_t size = sizeof(calibration_context_t)) : size_(size)
    {
        fd_ = memfd_create("yaltime_area", MFD_CLOEXEC);
        EXPECT_EQ(ftruncate(fd_, static_cast<off_t>(size)), 0);
    }
    ~shared_object()
    {
        for (void *p : maps_)
            munmap(p, size_);
        close(fd_);
    }
    calibration_context_t *map()
    {
        void *p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        EXPECT_NE(p, MAP_FAILED);
        maps_.push_back(p);
        return static_cast<calibration_context_t *>(p);
    }
    long size() const { return static_cast<long>(size_); }

private:
    size_t size_;
    int fd_ = -1;
    std::vector<void *> maps_;
};

void cycles(int n, calibration_context_t **disciplined, calibration_context_t *beating = nullptr)
{
    for (int i = 0; i < n; ++i) {
        if (beating != nullptr)
            calib::increment(beating->activity);
        *disciplined = area_watch_cycle(*disciplined);
    }
}

// Mappings the watch holds besides the area in use.
long candidates_held(int maps_at_start, bool taken_up)
{
    return recording_base::mmap_r_calls - maps_at_start - static_cast<long>(recording_base::unmapped.size()) -
           (taken_up ? 1 : 0);
}

} // namespace watch

// A reader whose area went stale meets, under the name: the same object at
// another address (its owner dead, or back), another owner's beating area, a
// silent one, or one of the wrong size.  Only the other beating area is taken
// up; every other candidate is given back, one held at a time at most.
struct under_the_name {
    const char *what;
    enum { SAME_OBJECT_SILENT, SAME_OBJECT_BEATING_AGAIN, ANOTHER_BEATING, ANOTHER_SILENT, WRONG_SIZE } kind;
};

TEST_F(Selection, AStaleAreasReaderTakesUpOnlyAnotherBeatingObjectAndGivesBackTheRest)
{
    const under_the_name rows[] = {{"the same object, silent", under_the_name::SAME_OBJECT_SILENT},
                                   {"the same object, beating again", under_the_name::SAME_OBJECT_BEATING_AGAIN},
                                   {"another owner's beating area", under_the_name::ANOTHER_BEATING},
                                   {"another silent area", under_the_name::ANOTHER_SILENT},
                                   {"an area of the wrong size", under_the_name::WRONG_SIZE}};
    for (const under_the_name &row : rows) {
        recording_base::install();
        component_state::reset(Rate);
        watch::shared_object old_object, new_object, small_object(4096);
        calibration_context_t *in_use = old_object.map();
        in_use->activity = 40;
        recording_base::shared_area = {in_use, old_object.size()};
        area_watch_start();
        calibration_context_t *own = &Thread_calibration;
        watch::cycles(AREA_STALE_AFTER_CYCLES, &own);

        calibration_context_t *offered = nullptr, *beating = nullptr;
        switch (row.kind) {
        case under_the_name::SAME_OBJECT_SILENT:
            offered = old_object.map();
            break;
        case under_the_name::SAME_OBJECT_BEATING_AGAIN:
            offered = old_object.map();
            beating = in_use;
            break;
        case under_the_name::ANOTHER_BEATING:
            offered = beating = new_object.map();
            break;
        case under_the_name::ANOTHER_SILENT:
            offered = new_object.map();
            break;
        case under_the_name::WRONG_SIZE:
            offered = small_object.map();
            break;
        }
        offered->activity = 40; // the same heartbeat as the area in use, at first
        recording_base::shared_area = {offered, row.kind == under_the_name::WRONG_SIZE ? 4096 : old_object.size()};
        const int maps_at_start = recording_base::mmap_r_calls;
        const bool take_up = row.kind == under_the_name::ANOTHER_BEATING;
        for (int i = 0; i < 4 * AREA_CANDIDATE_CYCLES; ++i) {
            watch::cycles(1, &own, beating);
            EXPECT_LE(watch::candidates_held(maps_at_start, Master_calibration.load() != in_use), 1) << row.what;
        }
        EXPECT_EQ(Master_calibration.load(), take_up ? offered : in_use) << row.what;
        if (!take_up && row.kind != under_the_name::SAME_OBJECT_BEATING_AGAIN) {
            EXPECT_GE(recording_base::mmap_r_calls, maps_at_start + 3) << row.what << ": looked again and again";
        }
        EXPECT_TRUE(recording_base::failures.empty()) << row.what;
        EXPECT_EQ(own, &Thread_calibration) << row.what;
        for (void *given_back : recording_base::unmapped)
            EXPECT_NE(given_back, in_use) << row.what << ": the area in use is never unmapped";
        if (take_up) {
            EXPECT_EQ(func_YALTIME_GET_CALIBRATION(), 0);
            func_YALTIME_NOW();
            EXPECT_EQ(func_YALTIME_GET_CALIBRATION(), 2) << "read at once: its heartbeat moved";
        }
        Master_calibration.store(nullptr);
    }
}

// The owner's look at its name, every AREA_OWNER_CHECK_EVERY_CYCLES cycles:
// its own object (at another address) changes nothing; a name that is gone
// is taken again and the calibration moved there; a name a live owner holds
// makes this process stop beating its area and read like any other.
struct owners_name {
    const char *what;
    enum { OWN_OBJECT, GONE, HELD_BY_ANOTHER } kind;
    int code_after;
    const char *said; // empty: nothing
};

TEST_F(Selection, AnOwnerWhoseNameChangedTakesItAgainOrStopsBeating)
{
    const owners_name rows[] = {
        {"its own object", owners_name::OWN_OBJECT, 1, ""},
        {"the name gone", owners_name::GONE, 1, "this owner took the name again"},
        {"the name held by another owner", owners_name::HELD_BY_ANOTHER, 3, "this process stops its heartbeat"}};
    for (const owners_name &row : rows) {
        recording_base::install();
        component_state::reset(Rate);
        watch::shared_object own_object, fresh_object, other_object;
        calibration_context_t *own = own_object.map();
        component_state::set_record(own, 0.0, 1700000000000000, 1022);
        own->calib_table[1023] = {0.0, 1700000000000001}; // a slew not yet in force
        own->valid_idx = 1023;
        own->activity = 77;
        own->stepcount = 2;
        Master_calibration.store(own);
        Calibration_using.store(CALIBRATION_OWNER);
        calibration_context_t *fresh = fresh_object.map();
        if (row.kind == owners_name::OWN_OBJECT)
            recording_base::shared_area = {own_object.map(), own_object.size()};
        if (row.kind == owners_name::HELD_BY_ANOTHER)
            recording_base::shared_area = {other_object.map(), other_object.size()};
        if (row.kind == owners_name::GONE)
            recording_base::owned_area = fresh;

        calibration_context_t *disciplined = own;
        watch::cycles(AREA_OWNER_CHECK_EVERY_CYCLES - 1, &disciplined);
        EXPECT_EQ(recording_base::mmap_r_calls, 0) << row.what << ": not before the tenth cycle";
        watch::cycles(1, &disciplined);
        EXPECT_EQ(recording_base::mmap_r_calls, 1) << row.what;
        EXPECT_EQ(recording_base::unmapped.size(), row.kind == owners_name::GONE ? 0u : 1u) << row.what;

        calibration_context_t *expected = row.kind == owners_name::OWN_OBJECT ? own
                                          : row.kind == owners_name::GONE     ? fresh
                                                                              : &Thread_calibration;
        EXPECT_EQ(disciplined, expected) << row.what;
        EXPECT_EQ(func_YALTIME_NOW(), calib_tsc_to_secs(own, rdtsc())) << row.what << ": the same record in force";
        EXPECT_EQ(Calibration_using.load(), row.code_after) << row.what;
        EXPECT_EQ(calib::load(disciplined->stepcount), 2) << row.what;
        EXPECT_EQ(calib::load(disciplined->valid_idx), calib::next_index(calib::load(disciplined->idx)))
            << row.what << ": the slew moved along";
        if (row.said[0] == '\0') {
            EXPECT_TRUE(recording_base::errors.empty()) << row.what;
        } else {
            ASSERT_EQ(recording_base::errors.size(), 1u) << row.what;
            EXPECT_NE(recording_base::errors[0].find(row.said), std::string::npos) << recording_base::errors[0];
        }
        Master_calibration.store(nullptr);
    }
}
