/*
 * frame_timing.cpp - frames of equal length counted from 1970 at a rate the
 * caller gives: the frame running now, and the TSC values at which a frame
 * starts and ends.  A rate of 0 means no frames: every call gives 0.
 */
#include "time/active_calibration.h"
#include "time/yaltime_entry.h"

/* The frame running at TSC value `tsc`; 0 when the calibrated time is not positive. */
static YALTIME_FRAME_T frame_at(YALTIME_TSC_T tsc, unsigned int framerate)
{
    const double now = calib_tsc_to_secs(get_active_calibration_at(tsc), tsc);
    return yaltime_secs_to_frame(now, framerate);
}

/* Unlike a clock reading, no OS fallback: 0 when the calibrated time is not positive. */
extern "C" YALTIME_FRAME_T func_YALTIME_NOW_FRAME(unsigned int framerate)
{
    if (framerate == 0)
        return 0;
    return frame_at(rdtsc(), framerate);
}

static YALTIME_TSC_T frame_boundary_tsc(YALTIME_FRAME_T frame, unsigned int framerate)
{
    return calib_secs_to_tsc(get_active_calibration(), yaltime_frame_to_secs(frame, framerate));
}

/*
 * TSC value at which `frame` starts; frame 0 stands for the frame running
 * now.  Without a usable record the current frame counts as 0 and the
 * conversion back to ticks gives 0 or, for a slope of 0, the largest value.
 */
extern "C" YALTIME_TSC_T func_YALTIME_FRAME_START(YALTIME_FRAME_T frame, unsigned int framerate)
{
    if (framerate == 0)
        return 0;
    if (frame == 0)
        frame = frame_at(rdtsc(), framerate);
    return frame_boundary_tsc(frame, framerate);
}

/* TSC value at which `frame` ends: the start of the next one. */
extern "C" YALTIME_TSC_T func_YALTIME_FRAME_END(YALTIME_FRAME_T frame, unsigned int framerate)
{
    if (framerate == 0)
        return 0;
    if (frame == 0)
        frame = frame_at(rdtsc(), framerate);
    return frame_boundary_tsc(frame + 1, framerate);
}
