// accuracy_probe.h - YALTIME's clock measured end to end, as a client sees
// it, for yaltime-probe --accuracy.
//
// One sample is the narrowest of five brackets TSC, clock_gettime
// (CLOCK_REALTIME), TSC; the middle of its two TSC readings converted by
// YALTIME_TSC_TO_NOW, minus the OS clock, is the sample's error.  (The
// conversion returns a double of seconds since 1970, whose steps are 0.24 us
// at today's dates: the errors are that coarse.)  Meanwhile a thread of its
// own converts one tick twice, 1 ms apart, over and over, and keeps the
// largest amount by which the second conversion came out earlier: a clock
// that goes back when its record changes.  The figures are judged over the
// second half of the run, after the discipline's first step and settling.
#ifndef YALTIME_TESTS_COMPONENT_ACCURACY_PROBE_H
#define YALTIME_TESTS_COMPONENT_ACCURACY_PROBE_H

#include <string>
#include <vector>

#include "interface/yaltime.interface.h"

namespace accuracy {

struct summary {
    int samples = 0;         // over the whole run
    int judged = 0;          // in its second half
    double p50_us = 0, p99_us = 0, max_us = 0; // of |error|, second half
    double mean_us = 0;      // signed mean error, second half (positive: YALTIME ahead)
    double max_all_us = 0;   // largest |error|, whole run
    double width_p50_ns = 0; // median width of the chosen brackets
    double back_max_us = 0;      // largest move back, second half
    double back_max_all_us = 0;  // largest move back, whole run
    long back_checks = 0;
    long back_late = 0; // pairs more than 1.5 ms apart, not judged
};

// The nearest-rank percentile q (0..1] of `values` (sorted in place); 0 when empty.
double percentile(std::vector<double> &values, double q);

// Samples every `every_s` seconds for `for_s` seconds (timed on CLOCK_MONOTONIC).
summary measure(YALTIME_TSC_TO_NOW_T tsc_to_now, double for_s, double every_s);

// "samples=N judged=J p50_us=... back_checks=Q"
std::string format(const summary &s);

} // namespace accuracy

#endif // YALTIME_TESTS_COMPONENT_ACCURACY_PROBE_H
