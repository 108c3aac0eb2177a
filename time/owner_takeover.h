/*
 * owner_takeover.h - how an owner puts a calibration into the shared area
 * without any reader converting with a record that is being written, and
 * without ever leaving readers without a record in force.
 *
 * An area nobody can have read a record of (just created: all zero, or left
 * by an owner that died before its first record came into force) starts as
 * specified: cleared, idx and valid_idx -1 during the initial calibration,
 * then record 0 and index 0 (tsci2_loopfilter_init on the area itself).
 *
 * Any other area may be one a previous owner left (restarted, killed,
 * upgraded) while readers in other processes still read it, each possibly
 * between its load of idx and its read of that record.  So the owner never
 * clears it and never writes a record a reader may hold:
 *
 *   1. It picks the record after the last one in force, `first_idx`: idx + 1,
 *      or valid_idx + 1 when idx is -1 (left so by an owner of an earlier
 *      version that died during its takeover).  No reader holds it: the
 *      index never reached it since it was last written.
 *   2. It resets stepcount and updates and leaves idx and valid_idx alone:
 *      the last record in force stays in force, so readers go on converting
 *      with it and never fall back to the OS clock.
 *   3. It runs the initial calibration into a private context of its own.
 *   4. It puts that record into force at first_idx with calib::publish_record.
 *      The discipline thread then writes only records after idx, at most ten
 *      ahead, as always.
 *
 * The heartbeat `activity` is not reset: it moves on from where the previous
 * owner left it, so readers see the new owner live at its first beat.
 *
 * An owner whose name was given to a new object moves its calibration there
 * the same way (move_calibration), with the records it has measured instead
 * of a new initial calibration.
 */
#ifndef YALTIME_OWNER_TAKEOVER_H
#define YALTIME_OWNER_TAKEOVER_H

#include "time/tsci2_loopfilter.h"

/* The owner's initial calibration of `area`: the specified start for an area
 * nobody can have read a record of, the takeover (steps 1 to 4) otherwise. */
void owner_start(calibration_context_t *area);

/* Steps 1 to 4 on an area that may have readers. */
void owner_takeover(calibration_context_t *area);

/* No record of `area` can have been in force: a reader can have read none. */
bool area_never_published(const calibration_context_t *area);

/* Puts the records `from` has in force and ahead into `to`, which may have
 * readers, after `to`'s last record in force; counters carried over.  Only
 * the thread that writes `from` may call it. */
void move_calibration(const calibration_context_t *from, calibration_context_t *to);

#endif /* YALTIME_OWNER_TAKEOVER_H */
