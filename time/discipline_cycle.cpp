/*
 * discipline_cycle.cpp - the discipline thread: its cycle (discipline_cycle.h)
 * and its exported entry, tsci2_loopfilter_thread.
 *
 * One writer: everything the cycle changes in a context (heartbeat, records,
 * valid_idx, idx, the counters) and the loop state tsci2_* is written from
 * this thread only.  The loop filter says what it would correct and writes
 * nothing itself while a discipline keeps the context: the discipline writes
 * every record then.  A cycle runs whole under fork_safety::cycle_guard, so
 * a fork's child never copies a cycle half done; the area watch runs under a
 * guard of its own.
 */
#include "time/discipline_cycle.h"

#include "interface/vek_base.interface.h"
#include "time/area_watch.h"
#include "time/calibration.h"
#include "time/clock_reading.h"
#include "time/fork_safety.h"
#include "time/tsci2_loopfilter_internal.h"

namespace tsci2 {

namespace {

/* Who makes the loop's correction: the discipline once started, else the loop's own records. */
void hand_over(CALIBRATION_CONTEXT_H d_rec, tsc_discipline &discipline, const loop_correction &c)
{
    if (discipline.started())
        discipline.take_loop_correction(d_rec, c);
    else
        write_loop_correction(d_rec, c);
}

/* One record a cycle from those a slew wrote ahead of idx. */
void bring_next_record_into_force(CALIBRATION_CONTEXT_H d_rec)
{
    const int32_t idx = calib::load(d_rec->idx);
    if (idx != calib::load(d_rec->valid_idx)) {
        calib::increment(d_rec->updates);
        calib::store(d_rec->idx, (ring_index(idx) + 1) % CALIB_TABLE_SIZE);
    }
}

} // namespace

void discipline_cycle(CALIBRATION_CONTEXT_H d_rec, tsc_discipline &discipline)
{
    vek_base_sleep(DAEMON_UPDATE_INTERVAL);
    const fork_safety::cycle_guard whole_cycle; /* a fork's child copies no cycle half done */
    calib::increment(d_rec->activity);

    const bool poll = poll_due();
    int64 fp_offset = 0;
    uint64 poll_ticks = 0;
    if (poll)
        poll_ticks = poll_offset(d_rec, &fp_offset);

    /* After the poll, so that what jumped during its sub-samples is seen
     * now.  A poll that an OS step or a TSC jump made stale, or that was
     * measured against a record the discipline has just stepped away from,
     * is not the loop's to correct: it would take the same jump again. */
    const bool stepped = discipline.correct(d_rec);
    if (poll && !stepped)
        hand_over(d_rec, discipline, decide_loop(poll_ticks, fp_offset, slope_in_force(d_rec)));

    bring_next_record_into_force(d_rec);

    say_fail_message(); /* reading threads never log */
}

} // namespace tsci2

namespace {

[[noreturn]] void run_discipline(CALIBRATION_CONTEXT_H d_rec, bool inherited)
{
    fork_safety::discipline_thread_runs();
    tsci2::tsc_discipline discipline;
    if (inherited)
        discipline.start_inherited(d_rec);
    else
        discipline.start(d_rec);
    for (;;) {
        tsci2::discipline_cycle(d_rec, discipline);
        /* The watch maps and unmaps through the host, under the host's own
         * lock: a fork meanwhile would leave its child that lock held. */
        const fork_safety::cycle_guard whole_look;
        d_rec = area_watch_cycle(d_rec); /* the shared area's name (area_watch.h) */
        calibration_record_t area_record;
        switch (area_watch_record_to_follow(&area_record)) {
        case AREA_RECORD_FOLLOW: /* readings about to leave a stalled owner's area */
            discipline.follow(d_rec, area_record);
            break;
        case AREA_RECORD_JOIN: /* an area they left beats again, behind their own context */
            discipline.join(d_rec, area_record);
            break;
        case AREA_RECORD_NONE:
            break;
        }
    }
}

} // namespace

void *tsci2_loopfilter_thread(void *arg) { run_discipline(static_cast<CALIBRATION_CONTEXT_H>(arg), false); }

void *tsci2::continue_discipline_thread(void *arg) { run_discipline(static_cast<CALIBRATION_CONTEXT_H>(arg), true); }
