/*
 * owner_takeover.cpp - the owner's first calibration, and a move of its
 * calibration to another area, put into a shared area without a torn
 * reading (see owner_takeover.h for the order of stores).
 */
#include "time/owner_takeover.h"

#include "interface/vek_base.interface.h"
#include "time/calibration.h"

/* The owner's initial calibration is measured here, out of every reader's sight. */
static calibration_context_t Takeover_calibration;

/* The last index in force in an area as its previous owner left it, or -1. */
static int32_t last_index_in_force(const calibration_context_t *area)
{
    const int32_t idx = calib::load(area->idx);
    if (calib::index_in_ring(idx))
        return idx;
    const int32_t valid_idx = calib::load(area->valid_idx);
    return calib::index_in_ring(valid_idx) ? valid_idx : -1;
}

/* Step 1: the record after the last one in force (1 when there is none). */
static int32_t first_free_index(const calibration_context_t *area)
{
    const int32_t last_idx = last_index_in_force(area);
    return last_idx < 0 ? 1 : calib::next_index(last_idx);
}

bool area_never_published(const calibration_context_t *area)
{
    const int32_t idx = calib::load(area->idx);
    const int32_t valid_idx = calib::load(area->valid_idx);
    if (idx == -1 && valid_idx == -1)
        return true; /* an owner died during the specified start */
    const calibration_record_t &first = area->calib_table[0];
    return idx == 0 && valid_idx == 0 && calib::load(area->activity) == 0 && calib::load(area->updates) == 0 &&
           calib::load(area->stepcount) == 0 && calib::load(first.slope) == 0.0 &&
           calib::load(first.intercept) == 0;
}

void owner_takeover(calibration_context_t *area)
{
    const int32_t first_idx = first_free_index(area);
    calib::store(area->stepcount, int32_t{0});
    calib::store(area->updates, int32_t{0});

    tsci2_loopfilter_init(&Takeover_calibration);
    const calibration_record_t &measured = Takeover_calibration.calib_table[0];
    calib::publish_record(area, first_idx, calib::load(measured.slope), calib::load(measured.intercept));
}

void owner_start(calibration_context_t *area)
{
    if (!area_never_published(area)) {
        owner_takeover(area);
        return;
    }
    vek_base_memset(area, 0, CALIBRATION_CONTEXT_SIZE);
    tsci2_loopfilter_init(area);
}

/* Records after idx up to valid_idx in `from` (a slew not yet in force). */
static int32_t records_ahead(const calibration_context_t *from, int32_t idx)
{
    const int32_t valid_idx = calib::load(from->valid_idx);
    if (!calib::index_in_ring(valid_idx))
        return 0;
    const int32_t ahead = (valid_idx - idx + CALIB_TABLE_SIZE) % CALIB_TABLE_SIZE;
    return ahead <= TSCI2_SLEWS ? ahead : 0;
}

void move_calibration(const calibration_context_t *from, calibration_context_t *to)
{
    const int32_t idx = calib::load(from->idx);
    if (!calib::index_in_ring(idx))
        return;
    const int32_t first_idx = first_free_index(to);
    const int32_t ahead = records_ahead(from, idx);
    calib::store(to->stepcount, calib::load(from->stepcount));
    calib::store(to->updates, calib::load(from->updates));

    /* The slew's records first, ahead of where idx will be, as a slew writes them. */
    for (int32_t i = 1; i <= ahead; ++i) {
        const calibration_record_t &r = from->calib_table[calib::next_index(idx, i)];
        calib::write_record(to, calib::next_index(first_idx, i), calib::load(r.slope), calib::load(r.intercept));
    }
    const calibration_record_t &in_force = from->calib_table[idx];
    calib::publish_record(to, first_idx, calib::load(in_force.slope), calib::load(in_force.intercept));
    if (ahead > 0)
        calib::store(to->valid_idx, calib::next_index(first_idx, ahead));
}
