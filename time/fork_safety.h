/*
 * fork_safety.h - what a fork does to the component.
 *
 * A fork copies the process with one thread, the one that forked: the
 * child has the calibration state but no discipline thread.  Start
 * registers fork handlers once (pthread_atfork), after it has started the
 * thread:
 *
 *   before the fork  the forking thread waits until a discipline thread just
 *                    started runs the component's code (its start-up in the
 *                    thread library takes locks of the allocator, which a
 *                    sanitizer's allocator does not free in the child), then
 *                    until it is between cycles (cycle_guard), so the
 *                    child's copy of the context and of the loop state is
 *                    whole, and no lock the cycle takes (a log line's stdio
 *                    lock) is held in it;
 *   in the parent    nothing changes: its thread, its role, its area;
 *   in the child     the role is settled with stores only: an owner's child
 *                    becomes an ordinary reader of its parent's area (the
 *                    host has already let go of the owner's lock there and
 *                    made the mapping read-only), used while its heartbeat
 *                    moves.  Then one discipline thread is started for the
 *                    child's own context: a local-only or reader process
 *                    carries on with the loop state it inherited; an
 *                    owner's child first calibrates its own context, on
 *                    that new thread, as start does.
 *
 * Starting the thread is the one call of the child handler that is not
 * async-signal-safe.  It is made there because nothing else in the child
 * reaches the component off the reading path, which must not change.  It is
 * sound with the C library the component runs on: fork re-initialises the
 * allocator and the thread machinery in the child before the handlers run,
 * and the prepare step above keeps the component's own state whole.  A
 * child that calls exec at once pays one thread creation; posix_spawn,
 * vfork and _Fork run no handlers at all.
 */
#ifndef YALTIME_FORK_SAFETY_H
#define YALTIME_FORK_SAFETY_H

#include "time/tsci2_loopfilter.h"

namespace fork_safety {

/* Registers the fork handlers, once; start calls it once the discipline
 * thread runs. */
void watch_forks();

/* Starts the discipline thread, discipline(context), named "TSCtime"; a fork
 * waits until it calls discipline_thread_runs, which it does first. */
void start_discipline_thread(void *(*discipline)(void *), calibration_context_t *context);
void discipline_thread_runs();

/* Held by the discipline thread over the work of a cycle (not its sleep),
 * and over an owner's child's initial calibration: a fork waits for it. */
class cycle_guard {
public:
    cycle_guard();
    ~cycle_guard();
    cycle_guard(const cycle_guard &) = delete;
    cycle_guard &operator=(const cycle_guard &) = delete;
};

} // namespace fork_safety

#endif /* YALTIME_FORK_SAFETY_H */
