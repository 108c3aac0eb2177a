/*
 * sleeping.cpp - sleeps through the host's sleep service: until a calibrated
 * time, or for a span drawn at random around a nominal length.  A span that
 * is not positive (or NaN) makes no sleep call.
 */
#include <cmath>
#include <cstdlib>

#include "interface/vek_base.interface.h"
#include "time/clock_reading.h"
#include "time/sleeping.h"
#include "time/yaltime_entry.h"

/* Uniform in [lo, hi] from rand(); a draw of 0 gives lo, of RAND_MAX hi. */
double randrange(double lo, double hi)
{
    return rand() * 4.656612875245797e-10 * (hi - lo) + lo;
}

static void sleep_if_positive(double seconds)
{
    if (seconds > 0)
        vek_base_sleep(seconds);
}

/*
 * Sleeps between (1 + negjitter) t and (1 + posjitter) t.  The shortening is
 * held to -0.95..0 and the lengthening to 0 or more; a NaN jitter counts as 0.
 */
void sleep_seconds_with_jitter(double t, double negjitter, double posjitter)
{
    if (std::isnan(negjitter) || negjitter > 0)
        negjitter = 0;
    if (negjitter < -0.95)
        negjitter = -0.95;
    if (std::isnan(posjitter) || posjitter < 0)
        posjitter = 0;
    const double lo = (1 + negjitter) * t;
    const double hi = (1 + posjitter) * t;
    sleep_if_positive(randrange(lo, hi));
}

/* One sleep until `_time`; none if it has passed or is NaN. */
extern "C" void func_YALTIME_SLEEP_UNTIL(YALTIME_SEC_T _time)
{
    const double now = gettime_now();
    if (now >= _time)
        return;
    sleep_if_positive(_time - now);
}

extern "C" void func_YALTIME_SLEEP_JITTER(YALTIME_SEC_T _time, YALTIME_SEC_T neg_jitter, YALTIME_SEC_T pos_jitter)
{
    sleep_seconds_with_jitter(_time, neg_jitter, pos_jitter);
}
