/*
 * area_watch.h - the shared area's name, watched from the discipline thread,
 * so that no thread reading the clock ever maps, opens or stats anything.
 *
 * The discipline thread calls area_watch_cycle once per cycle (about once a
 * second); the start calls area_watch_start once, before that thread exists.
 * What they find they publish in Master_calibration, which the reading path
 * loads once per reading (active_calibration.h).
 *
 * A reader (neither the owner nor local-only):
 *   - With no area mapped, it maps the name at the start and then every
 *     other cycle.  At the start an area is live if its heartbeat is not 0
 *     (the last one seen); one found later by the thread is published with
 *     its heartbeat as the last one seen, so readings take it up once its
 *     heartbeat moves.  An area of the wrong size is fatal, as always.
 *   - While the area in use is stale (its heartbeat unchanged for ten
 *     cycles), it maps the name every other cycle as a candidate and keeps
 *     it for at most three cycles.  The candidate is taken up only when its
 *     heartbeat has moved and it is shown to be another object: the area in
 *     use read the same before and after a candidate reading that differs
 *     from it (one word cannot hold two values at once, and a heartbeat only
 *     counts up).  Any other candidate is unmapped.  This never depends on
 *     the host giving one object the same address twice.  The area in use is
 *     never unmapped: reading threads may hold it.
 *
 * The owner, every ten cycles, maps the name and compares what it finds with
 * its own area: heartbeat, counters, indices and the record in force, all of
 * which only this thread writes, so any difference means another object.
 * When the name is gone or names another object it says so once and asks
 * the host for the area under the name as its own again:
 *   - given one (the name was free, or its object has no live owner), it
 *     moves its calibration there the way a takeover does (the record in
 *     force after the last one that object had in force, published with
 *     calib::publish_record) and disciplines that area from then on; the old
 *     object's heartbeat stops, so its readers leave it and follow the name;
 *   - refused (a live owner holds the name), it stops its heartbeat: it
 *     moves its calibration into its own context and becomes a reader, so
 *     that there is one live owner again and this process follows it.
 *
 * Without the host's unmap service, nothing mapped to look could be given
 * back, so neither the candidates nor the owner's comparison are made.
 */
#ifndef YALTIME_AREA_WATCH_H
#define YALTIME_AREA_WATCH_H

#include "time/tsci2_loopfilter.h"

/* Cycles between two looks at the name by a reader, by the owner, and the
 * cycles without a heartbeat after which a reader's area counts as stale. */
#define AREA_LOOK_EVERY_CYCLES 2
#define AREA_OWNER_CHECK_EVERY_CYCLES 10
#define AREA_STALE_AFTER_CYCLES 10
#define AREA_CANDIDATE_CYCLES 3
/* Cycles without a heartbeat after which a reader's own context follows
 * the record of the area its readings still use. */
#define AREA_FOLLOW_AFTER_CYCLES 2

/* A reader's first look for the area, on the host's thread at start. */
void area_watch_start();

/* One cycle's watch; returns the context the discipline thread disciplines
 * from now on (the one it was given, unless the owner moved). */
CALIBRATION_CONTEXT_H area_watch_cycle(CALIBRATION_CONTEXT_H disciplined);

/* What this process's own context is to do with a shared area's record. */
enum area_record_use {
    AREA_RECORD_NONE,
    AREA_RECORD_FOLLOW, /* take it into force as it is */
    AREA_RECORD_JOIN,   /* slow down onto its line, from just below */
};

/*
 * The record of a stalled area that this process's readings still use, for
 * its own context to follow: its readings then leave the area (ten seconds
 * after its last beat) onto the same line, and the discipline continues
 * from there.  Once they have left, the watch keeps the area from them
 * until its heartbeat moves again and its record reads no earlier than
 * their own, so that coming back never moves their clock back either;
 * while it beats but reads earlier, its record is given to be joined, so
 * that they do come back within a cycle or two.
 */
area_record_use area_watch_record_to_follow(calibration_record_t *record);

/* Forgets what the watch tracks (for tests, which reset the component). */
void area_watch_reset();

#endif /* YALTIME_AREA_WATCH_H */
