/*
 * fork_safety.cpp - the fork handlers: the discipline cycle kept whole
 * across a fork, and the child's role and discipline thread (see
 * fork_safety.h).
 */
#include "time/fork_safety.h"

#include <pthread.h>
#include <time.h>

#include <atomic>

#include "interface/vek_base.interface.h"
#include "public/tsc.h"
#include "time/active_calibration.h"
#include "time/calibration.h"
#include "time/discipline_cycle.h"
#include "time/tsci2_loopfilter.h"

namespace fork_safety {

namespace {

pthread_mutex_t Cycle_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> Registered{false};
std::atomic<bool> Thread_starting{false}; /* a discipline thread created, not yet in the component's code */

/* How long a fork waits for a thread just started: it runs within
 * microseconds, unless the machine is overloaded. */
constexpr int START_WAIT_LIMIT_MS = 1000;

/* The thread of an owner's child: its own context has never been
 * calibrated (the parent disciplined the area), so it is first, as start
 * does, then disciplined.  A fork meanwhile waits: its child would copy a
 * context half calibrated. */
void *calibrate_then_discipline(void *arg)
{
    discipline_thread_runs();
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

/* A thread just created may be inside its start-up in the thread library
 * (and a sanitizer's allocator), holding locks that the child would find
 * held; it leaves that within microseconds. */
void wait_for_starting_thread()
{
    for (int waited_ms = 0; Thread_starting.load(std::memory_order_acquire) && waited_ms < START_WAIT_LIMIT_MS;
         ++waited_ms) {
        const struct timespec one_ms = {0, 1000000};
        nanosleep(&one_ms, nullptr);
    }
}

void before_fork()
{
    wait_for_starting_thread();
    pthread_mutex_lock(&Cycle_lock);
}

void after_fork_in_parent() { pthread_mutex_unlock(&Cycle_lock); }

void after_fork_in_child()
{
    pthread_mutex_unlock(&Cycle_lock);
    void *(*discipline)(void *) = tsci2::continue_discipline_thread; /* the parent's records, continued */
    if (Calibration_using.load(std::memory_order_relaxed) == CALIBRATION_OWNER) {
        become_reader_of_parent_area();
        discipline = calibrate_then_discipline;
    }
    start_discipline_thread(discipline, &Thread_calibration);
}

} // namespace

void start_discipline_thread(void *(*discipline)(void *), calibration_context_t *context)
{
    char thread_name[] = "TSCtime";
    Thread_starting.store(true, std::memory_order_relaxed);
    if (vek_base_threadsched_start(discipline, context, thread_name) != 0)
        Thread_starting.store(false, std::memory_order_relaxed);
}

void discipline_thread_runs() { Thread_starting.store(false, std::memory_order_release); }

cycle_guard::cycle_guard() { pthread_mutex_lock(&Cycle_lock); }

cycle_guard::~cycle_guard() { pthread_mutex_unlock(&Cycle_lock); }

void watch_forks()
{
    if (!Registered.exchange(true, std::memory_order_relaxed))
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

} // namespace fork_safety
