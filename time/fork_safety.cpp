/*
 * fork_safety.cpp - the fork handlers: the discipline cycle kept whole
 * across a fork, and the child's role and discipline thread (see
 * fork_safety.h).
 */
#include "time/fork_safety.h"

#include <pthread.h>

#include <atomic>

#include "interface/vek_base.interface.h"
#include "public/tsc.h"
#include "time/active_calibration.h"
#include "time/calibration.h"
#include "time/tsci2_loopfilter.h"

namespace fork_safety {

namespace {

pthread_mutex_t Cycle_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> Registered{false};

/* The thread of an owner's child: its own context has never been
 * calibrated (the parent disciplined the area), so it is first, as start
 * does, then disciplined.  A fork meanwhile waits: its child would copy a
 * context half calibrated. */
void *calibrate_then_discipline(void *arg)
{
    auto *context = static_cast<calibration_context_t *>(arg);
    {
        const cycle_guard whole_calibration;
        tsci2_loopfilter_init(context);
    }
    return tsci2_loopfilter_thread(context);
}

/* The parent's area, read as any reader reads it: live from now on while
 * its heartbeat moves, left ten seconds after it stops. */
void become_reader_of_parent_area()
{
    const calibration_context_t *area = Master_calibration.load(std::memory_order_relaxed);
    Master_last_activity.store(calib::load(area->activity), std::memory_order_relaxed);
    Master_last_activity_tsc.store(rdtsc(), std::memory_order_relaxed);
    Calibration_using.store(CALIBRATION_SHARED, std::memory_order_relaxed);
}

void before_fork() { pthread_mutex_lock(&Cycle_lock); }

void after_fork_in_parent() { pthread_mutex_unlock(&Cycle_lock); }

void after_fork_in_child()
{
    pthread_mutex_unlock(&Cycle_lock);
    void *(*discipline)(void *) = tsci2_loopfilter_thread;
    if (Calibration_using.load(std::memory_order_relaxed) == CALIBRATION_OWNER) {
        become_reader_of_parent_area();
        discipline = calibrate_then_discipline;
    }
    char thread_name[] = "TSCtime";
    vek_base_threadsched_start(discipline, &Thread_calibration, thread_name);
}

} // namespace

cycle_guard::cycle_guard() { pthread_mutex_lock(&Cycle_lock); }

cycle_guard::~cycle_guard() { pthread_mutex_unlock(&Cycle_lock); }

void watch_forks()
{
    if (!Registered.exchange(true, std::memory_order_relaxed))
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

} // namespace fork_safety
