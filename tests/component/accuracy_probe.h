// accuracy_probe.h - YALTIME's clock measured end to end, as a client sees
// it, for yaltime-probe --accuracy, in nanoseconds.
//
// One sample is the narrowest of five brackets yaltime_now_ns,
// clock_gettime (CLOCK_REALTIME), yaltime_now_ns: the middle of the two
// readings minus the OS clock is the sample's error, all of it in integer
// nanoseconds, so nothing rounds it.  Every reading of the sampling thread
// is also checked against the one before it: a clock that read earlier than
// it did a moment ago went back.  Meanwhile a thread of its own converts one
// tick twice through yaltime_tsc_to_ns, 1 ms apart, over and over, and
// keeps the largest amount by which the second conversion came out earlier:
// a clock that goes back when its record changes.  The figures are judged
// over the second half of the run, after the discipline's first step and
// settling.
#ifndef YALTIME_TESTS_COMPONENT_ACCURACY_PROBE_H
#define YALTIME_TESTS_COMPONENT_ACCURACY_PROBE_H

#include <string>
#include <vector>

#include "public/yaltime_ns.h"

namespace accuracy {

struct summary {
    int samples = 0;         // over the whole run
    int judged = 0;          // in its second half
    double p50_ns = 0, p99_ns = 0, max_ns = 0; // of |error|, second half
    double mean_ns = 0;      // signed mean error, second half (positive: YALTIME ahead)
    double max_all_ns = 0;   // largest |error|, whole run
    double width_p50_ns = 0; // median width of the chosen brackets
    double width_p99_ns = 0;
    long long back_max_ns = 0;     // largest move back of a converted tick, second half
    long long back_max_all_ns = 0; // the same, whole run
    long long reading_back_max_ns = 0; // largest reading earlier than the one before it, whole run
    long back_checks = 0;
    long back_late = 0; // pairs more than 1.5 ms apart, not judged
};

// The nearest-rank percentile q (0..1] of `values` (sorted in place); 0 when empty.
double percentile(std::vector<double> &values, double q);

// Samples every `every_s` seconds for `for_s` seconds (timed on CLOCK_MONOTONIC).
summary measure(YALTIME_NOW_NS_T now_ns, YALTIME_TSC_TO_NS_T tsc_to_ns, double for_s, double every_s);

// "samples=N judged=J p50_ns=... back_checks=Q"
std::string format(const summary &s);

} // namespace accuracy

#endif // YALTIME_TESTS_COMPONENT_ACCURACY_PROBE_H
