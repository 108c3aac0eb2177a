/*
 * owner_takeover.cpp - the owner's first calibration put into the shared
 * area without a torn reading (see owner_takeover.h for the order of stores).
 */
#include "time/owner_takeover.h"

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

void owner_takeover(calibration_context_t *area)
{
    /* 1 and 2: the record after the last one in force, and idx -1. */
    const int32_t last_idx = last_index_in_force(area);
    const int32_t first_idx = last_idx < 0 ? 1 : calib::next_index(last_idx);
    calib::store(area->stepcount, int32_t{0});
    calib::store(area->updates, int32_t{0});
    calib::store(area->valid_idx, last_idx < 0 ? int32_t{0} : last_idx);
    calib::store(area->idx, int32_t{-1});

    /* 3 and 4: calibrated privately, then put in force at first_idx. */
    tsci2_loopfilter_init(&Takeover_calibration);
    const calibration_record_t &measured = Takeover_calibration.calib_table[0];
    calib::publish_record(area, first_idx, calib::load(measured.slope), calib::load(measured.intercept));
}
