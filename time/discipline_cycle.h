/*
 * discipline_cycle.h - the discipline thread's cycle.
 *
 * tsci2_loopfilter_thread (exported, tsci2_loopfilter.h) starts a
 * discipline on the context it is given and runs discipline_cycle once a
 * second for ever, each cycle followed by the watch of the shared area's
 * name (area_watch.h), which may give it another context.  One cycle:
 *
 *   - sleeps DAEMON_UPDATE_INTERVAL, then beats the context's heartbeat;
 *   - when the loop filter's poll is due, measures the OS clock's offset
 *     from the record in force (poll_offset);
 *   - has the discipline read the clocks and write its record (after the
 *     poll, so that what jumped during the poll's sub-samples is seen now);
 *   - gives a poll to the loop filter (decide_loop) unless the discipline
 *     has just stepped, and hands the loop's correction to the discipline
 *     when it runs, or writes it as records when it does not (a context
 *     whose record in force had no usable slope);
 *   - brings the next record a slew left ahead of idx into force;
 *   - says the failure message a reading thread left (clock_reading.h).
 *
 * Internal: hidden, reachable from the tests' static yaltime_core.
 */
#ifndef YALTIME_DISCIPLINE_CYCLE_H
#define YALTIME_DISCIPLINE_CYCLE_H

#include "time/tsc_discipline.h"
#include "time/tsci2_loopfilter.h"

namespace tsci2 {

/* One cycle of tsci2_loopfilter_thread on d_rec, without the area watch. */
__attribute__((visibility("hidden"))) void discipline_cycle(CALIBRATION_CONTEXT_H d_rec, tsc_discipline &discipline);

/* tsci2_loopfilter_thread on a context a discipline has been correcting
 * (a fork's child's): its record in force is continued, never stepped. */
__attribute__((visibility("hidden"))) void *continue_discipline_thread(void *arg);

} // namespace tsci2

#endif /* YALTIME_DISCIPLINE_CYCLE_H */
