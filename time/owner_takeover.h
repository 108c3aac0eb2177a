/*
 * owner_takeover.h - how an owner puts its first calibration into the shared
 * area without any reader converting with a record that is being cleared or
 * written.
 *
 * The area may be one a previous owner left (restarted, killed, upgraded)
 * while readers in other processes still read it, each possibly between its
 * load of idx and its read of that record.  So the owner never clears the
 * area and never writes a record a reader may hold:
 *
 *   1. It picks the record after the last one in force, `first_idx`: idx + 1,
 *      or valid_idx + 1 when idx is -1 (an owner that died during its own
 *      takeover left the index it started from in valid_idx).  No reader
 *      holds it: the index never reached it since it was last written.
 *   2. It resets stepcount and updates, stores idx -1 (release) and leaves
 *      valid_idx on the last record in force: from here on a reader that
 *      loads idx converts with nothing and reads the OS clock, and one that
 *      loaded the old idx still reads that old record, which nobody writes.
 *   3. It runs the initial calibration into a private context of its own.
 *   4. It writes that record into first_idx (slope, then intercept), then
 *      stores valid_idx and idx on it (release), as the initial calibration
 *      does with record 0.  The discipline thread then writes only records
 *      after idx, at most ten ahead, as always.
 *
 * The heartbeat `activity` is not reset: it moves on from where the previous
 * owner left it, so readers see the new owner live at its first beat.
 */
#ifndef YALTIME_OWNER_TAKEOVER_H
#define YALTIME_OWNER_TAKEOVER_H

#include "time/tsci2_loopfilter.h"

/* Steps 1 to 4: the owner's initial calibration of `area`. */
void owner_takeover(calibration_context_t *area);

#endif /* YALTIME_OWNER_TAKEOVER_H */
