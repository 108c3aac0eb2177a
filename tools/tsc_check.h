/*
 * tsc_check.h - does the TSC behave as YALTIME needs, measured?
 *
 * The kernel's flags say what the kernel and the CPU believe (tools/
 * tsc_health.h); this module measures the two things YALTIME depends on:
 *
 * - Agreement across CPUs.  A thread pinned to a reference CPU and one pinned
 *   to each other CPU this process may use pass TSC readings back and forth
 *   through one cache line, each reading taken between two lfences.  A
 *   reading taken after another was seen is later in real time, so each
 *   forward difference is the CPUs' offset plus a positive delay: the
 *   smallest one each way bounds the offset from above and from below.  A
 *   bound of the wrong sign proves a disagreement; otherwise the CPUs agree
 *   within the larger bound, and nothing below the cache line's round trip
 *   can be resolved.  Bounded rounds and a wall-clock cap keep it to a few
 *   milliseconds.
 * - The rate against CLOCK_MONOTONIC_RAW, the hardware's clock without the
 *   time daemon's corrections: from bracketed (TSC, raw clock) samples over
 *   a span, the rate in the span's first half against its second half.
 *
 * judge() joins these with the kernel's view into one verdict: fit, unfit
 * (with the reason and its size) or unknown.  The tools print it as text,
 * JSON fields and metrics, and warn only on "unfit".
 */
#ifndef YALTIME_TOOLS_TSC_CHECK_H
#define YALTIME_TOOLS_TSC_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/tsc_health.h"

namespace tsc_check {

/* CPUs whose TSCs disagree by more than this make the TSC unfit: a thread
 * moving between them would see YALTIME's time jump by several of its
 * 0.24 us steps. */
constexpr double DISAGREEMENT_LIMIT_NS = 1000.0;
/* A rate that changes by more than this between the halves of the span. */
constexpr double RATE_CHANGE_LIMIT_PPM = 5.0;
/* Wall-clock cap of the whole cross-CPU measurement, and its rounds per CPU. */
constexpr double AGREEMENT_TIME_LIMIT_S = 0.012;
constexpr int ROUNDS_PER_CPU = 2000;
/* Fewer completed rounds than this leave a CPU unmeasured. */
constexpr int MIN_ROUNDS = 50;

/* --- agreement across CPUs ------------------------------------------------ */

/* What one CPU's rounds against the reference gave, in ticks. */
struct cpu_rounds {
    int cpu = -1;
    int rounds = 0;                  /* completed round trips */
    int64_t min_to_cpu_ticks = 0;    /* CPU's reading minus the reference's it had seen */
    int64_t min_to_reference_ticks = 0;
    std::string problem;             /* why the CPU is unmeasured; "" if measured */
    int64_t min_timed_round_trip_ticks = 0; /* the fastest round trip, timed on the reference CPU alone */
};

struct agreement {
    int cpus_online = 0;
    int cpus_allowed = 0;            /* those this process may run on */
    int reference_cpu = -1;
    std::vector<cpu_rounds> cpus;    /* every allowed CPU but the reference */
    double tsc_hz = 0;               /* over the measurement, against the raw clock */
    int cpus_measured = 0;
    bool comparable = false;         /* more than one CPU and all of them measured */
    double disagreement_ns = 0;      /* the largest disagreement the readings prove */
    double within_ns = 0;            /* the largest the readings allow */
    double round_trip_ns = 0;        /* the resolution: the slowest pair's round trip */
    int worst_cpu = -1;              /* ahead of worst_against by disagreement_ns */
    int worst_against = -1;
};

struct options {
    /* Added to every reading taken on the compared CPUs: a test's stand-in
     * for CPUs that disagree. */
    int64_t compared_offset_ticks = 0;
    double time_limit_s = AGREEMENT_TIME_LIMIT_S;
    int rounds_per_cpu = ROUNDS_PER_CPU;
};

/* Runs the ping-pong on every allowed CPU against the first one. */
agreement measure_agreement(const options &o = {});

/* Fills the judged figures of `a` from its cpus and tsc_hz. */
void judge_agreement(agreement &a);

/* --- the rate against the raw clock --------------------------------------- */

struct rate_sample {
    int64_t raw_ns = 0;      /* CLOCK_MONOTONIC_RAW */
    uint64_t tsc = 0;        /* the middle of the bracket around it */
    uint64_t bracket_ticks = 0;
};

/* The narrowest of a few brackets (TSC, raw clock, TSC). */
rate_sample take_rate_sample();

struct rate {
    bool measured = false;   /* three samples or more over a span */
    double span_s = 0;
    double tsc_hz = 0;
    double change_ppm = 0;   /* second half's rate against the first's */
    double uncertainty_ppm = 0;
    bool stable = false;     /* |change| + uncertainty within the limit */
    bool moved = false;      /* |change| - uncertainty beyond it */
};

/* The rate over the samples' span, halves split at the sample nearest its middle. */
rate judge_rate(const std::vector<rate_sample> &samples);

/* --- the verdict ----------------------------------------------------------- */

enum class verdict_kind { fit, unfit, unknown };

struct verdict {
    verdict_kind kind = verdict_kind::unknown;
    std::string reason; /* "" for fit */
};

verdict judge(const tsc_health::health &h, const agreement &a, const rate &r);

const char *verdict_name(verdict_kind kind);

/* Lines ending in "\n" for the measured findings that make the TSC unfit; "". */
std::string warning(const agreement &a, const rate &r);

/* "tsc cpus ...", "tsc rate ...", "tsc verdict ..." lines. */
std::string format_text(const agreement &a, const rate &r, const verdict &v);

/* One line for a program's start: "TSC fit; CPUs agree within ...\n". */
std::string summary_line(const agreement &a, const verdict &v);

/* `, "tsc_verdict": ...` fields to append to a JSON object. */
std::string json_fields(const agreement &a, const rate &r, const verdict &v);

} // namespace tsc_check

#endif /* YALTIME_TOOLS_TSC_CHECK_H */
