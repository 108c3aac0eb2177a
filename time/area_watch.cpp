/*
 * area_watch.cpp - the reader's look for the shared area and for another
 * object under its name, and the owner's check that the name still holds
 * its area (see area_watch.h).  Everything here runs on the discipline
 * thread (or at start, before it exists), so its state is plain.
 */
#include "time/area_watch.h"

#include <cmath>

#include "interface/vek_base.interface.h"
#include "time/active_calibration.h"
#include "time/calibration.h"
#include "time/owner_takeover.h"

namespace {

struct mapping {
    calibration_context_t *area;
    long size;
};

struct reader_state {
    unsigned long cycle;
    bool looked; /* the start's look counts, at cycle 0 */
    unsigned long last_look_cycle;
    calibration_context_t *tracked; /* the area whose heartbeat is followed */
    int32_t tracked_activity;
    unsigned long last_beat_cycle;
    calibration_context_t *held_back; /* a stale area the readings left, until it may be used again */
    bool held_back_reads_earlier;     /* it beats again, but behind the own context */
    mapping candidate;
    int32_t candidate_first_activity;
    unsigned long candidate_cycle;
};

reader_state Reader;
unsigned long Owner_cycle;

mapping map_name()
{
    char name[] = YALTIME_SHARED_AREA_NAME;
    long size = 0;
    void *found = vek_base_mmap_r != nullptr ? vek_base_mmap_r(name, &size) : nullptr;
    return {static_cast<calibration_context_t *>(found), found != nullptr ? size : 0};
}

void unmap(const mapping &m)
{
    char name[] = YALTIME_SHARED_AREA_NAME;
    if (m.area != nullptr && vek_base_mmap_unmap != nullptr)
        vek_base_mmap_unmap(name, m.size, m.area);
}

bool right_size(const mapping &m) { return m.size == CALIBRATION_CONTEXT_SIZE; }

/* Publishes `area` with `seen_activity` as the last heartbeat seen, at
 * `seen_tsc`: readings use it while its heartbeat has moved within the
 * last ten seconds, counted from there; 0 means never seen moving, so
 * readings take it up once its heartbeat differs from `seen_activity`.
 * Stored here rather than by the first reading, so that concurrent first
 * readings cannot meet a new heartbeat with a stale time. */
void publish_area(calibration_context_t *area, int32_t seen_activity, YALTIME_TSC_T seen_tsc)
{
    Master_last_activity.store(seen_activity, std::memory_order_relaxed);
    Master_last_activity_tsc.store(seen_tsc, std::memory_order_relaxed);
    Master_calibration.store(area, std::memory_order_release);
}

/* The first area under the name; the wrong size is fatal.  Null if none. */
calibration_context_t *first_area_under_name()
{
    const mapping m = map_name();
    if (m.area == nullptr)
        return nullptr;
    if (right_size(m))
        return m.area;
    vek_base_fail("get_active_calibration: invalid size (%ld) of yal_time_master", m.size);
    unmap(m); /* a host whose fail returns: the area is never used */
    return nullptr;
}

/* --- the reader ------------------------------------------------------------ */

bool time_to_look()
{
    if (Reader.looked && Reader.cycle - Reader.last_look_cycle < AREA_LOOK_EVERY_CYCLES)
        return false;
    Reader.looked = true;
    Reader.last_look_cycle = Reader.cycle;
    return true;
}

void look_for_area()
{
    if (!time_to_look())
        return;
    if (calibration_context_t *area = first_area_under_name())
        publish_area(area, calib::load(area->activity), 0);
}

/* Follows the heartbeat of the area in use; true when it is stale. */
bool area_stale(calibration_context_t *area)
{
    const int32_t activity = calib::load(area->activity);
    if (area != Reader.tracked || activity != Reader.tracked_activity) {
        Reader.tracked = area;
        Reader.tracked_activity = activity;
        Reader.last_beat_cycle = Reader.cycle;
    }
    return Reader.cycle - Reader.last_beat_cycle >= AREA_STALE_AFTER_CYCLES;
}

void drop_candidate()
{
    unmap(Reader.candidate);
    Reader.candidate = {nullptr, 0};
}

void look_for_candidate()
{
    if (vek_base_mmap_unmap == nullptr || !time_to_look())
        return;
    const mapping m = map_name();
    if (m.area == nullptr)
        return;
    if (!right_size(m)) {
        unmap(m);
        return;
    }
    Reader.candidate = m;
    Reader.candidate_first_activity = calib::load(m.area->activity, std::memory_order_acquire);
    Reader.candidate_cycle = Reader.cycle;
}

/*
 * The candidate's heartbeat has moved, and it is not the area in use: that
 * one read the same on both sides of a candidate reading that differs from
 * it.  Acquire loads keep the three readings in this order.
 */
bool candidate_is_another_live_area(const calibration_context_t *in_use)
{
    const int32_t before = calib::load(in_use->activity, std::memory_order_acquire);
    const int32_t seen = calib::load(Reader.candidate.area->activity, std::memory_order_acquire);
    const int32_t after = calib::load(in_use->activity, std::memory_order_acquire);
    return before == after && seen != before && seen != Reader.candidate_first_activity;
}

void judge_candidate(const calibration_context_t *in_use)
{
    if (candidate_is_another_live_area(in_use)) {
        Reader.held_back = nullptr;
        publish_area(Reader.candidate.area, calib::load(Reader.candidate.area->activity), rdtsc());
        Reader.candidate = {nullptr, 0};
        return;
    }
    if (Reader.cycle - Reader.candidate_cycle >= AREA_CANDIDATE_CYCLES)
        drop_candidate();
}

/* The calibrated time of `context` at `tsc`, ns; NaN without a record in force. */
long double context_ns(const calibration_context_t *context, YALTIME_TSC_T tsc)
{
    calib::line l;
    return calib::record_in_force(context, &l) ? calib::line_tsc_to_ns(l, tsc) : NAN;
}

/* The readings have left a stale area for this process's own context: it
 * is held back from them, so that its next beat alone does not take them
 * back to it (its record may read earlier than their own by then). */
void hold_back_if_left(calibration_context_t *area)
{
    if (Calibration_using.load(std::memory_order_relaxed) != CALIBRATION_OWN)
        return;
    Reader.held_back = area;
    Master_calibration.store(nullptr, std::memory_order_release);
}

/* A held-back area that beats again is given back once it reads no earlier than the own context. */
void give_back_when_not_behind()
{
    const YALTIME_TSC_T tsc = rdtsc();
    Reader.held_back_reads_earlier = !(context_ns(Reader.held_back, tsc) >= context_ns(&Thread_calibration, tsc));
    if (Reader.held_back_reads_earlier)
        return;
    publish_area(Reader.held_back, calib::load(Reader.held_back->activity), tsc);
    Reader.held_back = nullptr;
}

void reader_cycle()
{
    ++Reader.cycle;
    calibration_context_t *area = Master_calibration.load(std::memory_order_acquire);
    if (area == nullptr && Reader.held_back == nullptr) {
        look_for_area();
        return;
    }
    if (area == nullptr)
        area = Reader.held_back;
    Reader.held_back_reads_earlier = false;
    if (!area_stale(area)) {
        drop_candidate();
        if (area == Reader.held_back)
            give_back_when_not_behind();
        return;
    }
    if (area != Reader.held_back)
        hold_back_if_left(area);
    if (Reader.candidate.area == nullptr)
        look_for_candidate();
    else
        judge_candidate(area);
}

/* --- the owner ------------------------------------------------------------- */

/* `found` shows what this thread last wrote into `own`: the same object,
 * unless another one holds exactly the same words at this moment. */
bool shows_own_area(const calibration_context_t *found, const calibration_context_t *own)
{
    const int32_t idx = calib::load(own->idx);
    if (calib::load(found->activity) != calib::load(own->activity) || calib::load(found->idx) != idx ||
        calib::load(found->valid_idx) != calib::load(own->valid_idx) ||
        calib::load(found->updates) != calib::load(own->updates) ||
        calib::load(found->stepcount) != calib::load(own->stepcount) || !calib::index_in_ring(idx))
        return false;
    const calibration_record_t &a = found->calib_table[idx];
    const calibration_record_t &b = own->calib_table[idx];
    return calib::load(a.slope) == calib::load(b.slope) && calib::load(a.intercept) == calib::load(b.intercept);
}

bool name_holds_own_area(const calibration_context_t *own)
{
    const mapping m = map_name();
    const bool holds = m.area != nullptr && right_size(m) && shows_own_area(m.area, own);
    unmap(m);
    return holds;
}

/* A live owner holds the name: this process stops beating `own` and reads
 * like any other process, disciplining its own context. */
calibration_context_t *retire(const calibration_context_t *own)
{
    move_calibration(own, &Thread_calibration);
    Calibration_using.store(CALIBRATION_OWN, std::memory_order_relaxed);
    Master_calibration.store(nullptr, std::memory_order_release);
    vek_base_syslog_error("YALTIME: yal_time_master no longer names this owner's area and another owner holds it; "
                          "this process stops its heartbeat and follows that owner");
    return &Thread_calibration;
}

calibration_context_t *recreate_or_retire(calibration_context_t *own)
{
    char name[] = YALTIME_SHARED_AREA_NAME;
    auto *area = static_cast<calibration_context_t *>(vek_base_mmap_rw(name, CALIBRATION_CONTEXT_SIZE));
    if (area == nullptr)
        return retire(own);
    move_calibration(own, area);
    Master_calibration.store(area, std::memory_order_release);
    vek_base_syslog_error("YALTIME: yal_time_master no longer names this owner's area; "
                          "this owner took the name again and disciplines the area under it");
    return area;
}

calibration_context_t *owner_cycle(calibration_context_t *own)
{
    if (++Owner_cycle % AREA_OWNER_CHECK_EVERY_CYCLES != 0 || vek_base_mmap_unmap == nullptr)
        return own;
    return name_holds_own_area(own) ? own : recreate_or_retire(own);
}

} // namespace

void area_watch_start()
{
    if (Calibration_local_only.load(std::memory_order_relaxed))
        return;
    Reader.looked = true; /* the next look two cycles on */
    Reader.last_look_cycle = Reader.cycle;
    calibration_context_t *area = first_area_under_name();
    if (area == nullptr)
        return;
    /* As a first reading would judge it: live if its heartbeat differs from
     * the last one seen (none yet: 0), stale otherwise. */
    const int32_t activity = calib::load(area->activity);
    if (activity != Master_last_activity.load(std::memory_order_relaxed))
        publish_area(area, activity, rdtsc());
    else
        publish_area(area, activity, 0);
}

CALIBRATION_CONTEXT_H area_watch_cycle(CALIBRATION_CONTEXT_H disciplined)
{
    if (Calibration_local_only.load(std::memory_order_relaxed))
        return disciplined;
    if (Calibration_using.load(std::memory_order_relaxed) == CALIBRATION_OWNER)
        return owner_cycle(disciplined);
    reader_cycle();
    return disciplined;
}

/* The record in force in `area`, if it is a usable one. */
static bool usable_record(const calibration_context_t *area, calibration_record_t *record)
{
    calib::line l;
    if (!calib::record_in_force(area, &l) || !(l.slope > 0) || !std::isfinite(l.slope))
        return false;
    *record = calibration_record_t{l.slope, l.intercept};
    return true;
}

area_record_use area_watch_record_to_follow(calibration_record_t *record)
{
    if (Reader.held_back != nullptr && Reader.held_back_reads_earlier)
        return usable_record(Reader.held_back, record) ? AREA_RECORD_JOIN : AREA_RECORD_NONE;
    const calibration_context_t *area = Master_calibration.load(std::memory_order_acquire);
    if (area == nullptr || Calibration_using.load(std::memory_order_relaxed) != CALIBRATION_SHARED ||
        area != Reader.tracked || Reader.cycle - Reader.last_beat_cycle < AREA_FOLLOW_AFTER_CYCLES)
        return AREA_RECORD_NONE;
    return usable_record(area, record) ? AREA_RECORD_FOLLOW : AREA_RECORD_NONE;
}

void area_watch_reset()
{
    Reader = reader_state{};
    Owner_cycle = 0;
}
