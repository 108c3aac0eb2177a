/*
 * tsc_check.cpp - the cross-CPU ping-pong, the rate against the raw clock,
 * and the verdict.
 */
#include "tools/tsc_check.h"

#include <linux/futex.h>
#include <sched.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#include <x86intrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <system_error>
#include <thread>

#include "tools/shared_area.h"

namespace tsc_check {

namespace {

/* The TSC read after every earlier instruction has completed (the load that
 * saw the other CPU's reading) and before any later one starts (the store
 * that passes it on). */
inline uint64_t fenced_tsc()
{
    _mm_lfence();
    const uint64_t t = __rdtsc();
    _mm_lfence();
    return t;
}

double monotonic_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int64_t raw_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/* The one cache line the two threads share. */
struct alignas(64) shared_line {
    std::atomic<uint64_t> reading{0};
    std::atomic<uint32_t> turn{0}; /* 2i+1: the reference sent round i; 2i+2: the CPU answered */
    std::atomic<uint32_t> ready{0};
    std::atomic<uint32_t> sleepers{0}; /* threads asleep on turn or ready */
    std::atomic<bool> stop{false};
};
/* turn and ready double as futex words. */
static_assert(sizeof(std::atomic<uint32_t>) == 4 && std::atomic<uint32_t>::is_always_lock_free);

/* How long a thread spins for its partner before it sleeps, and its longest sleep. */
constexpr double SPIN_S = 50e-6;
constexpr double MAX_SLEEP_S = 1e-3;

uint32_t *futex_word(std::atomic<uint32_t> &value)
{
    return reinterpret_cast<uint32_t *>(&value);
}

void futex_wake(std::atomic<uint32_t> &value)
{
    syscall(SYS_futex, futex_word(value), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

/* Sleeps while `value` holds `seen`, at most `seconds`; a change wakes it. */
void futex_wait(std::atomic<uint32_t> &value, uint32_t seen, double seconds)
{
    struct timespec timeout;
    timeout.tv_sec = 0;
    timeout.tv_nsec = static_cast<long>(seconds * 1e9);
    syscall(SYS_futex, futex_word(value), FUTEX_WAIT_PRIVATE, seen, &timeout, nullptr, 0);
}

/* After a change of `value`: wakes the partner if it sleeps on it. */
void wake_sleepers(shared_line &line, std::atomic<uint32_t> &value)
{
    if (line.sleepers.load(std::memory_order_seq_cst) > 0)
        futex_wake(value);
}

void publish(shared_line &line, std::atomic<uint32_t> &value, uint32_t v)
{
    value.store(v, std::memory_order_seq_cst);
    wake_sleepers(line, value);
}

void stop_both(shared_line &line)
{
    line.stop.store(true, std::memory_order_seq_cst);
    futex_wake(line.turn);
    futex_wake(line.ready);
}

bool spin_for(const std::atomic<uint32_t> &value, uint32_t want, double until_s)
{
    for (uint32_t spins = 1;; ++spins) {
        if (value.load(std::memory_order_acquire) == want)
            return true;
        if (spins % 64 == 0 && monotonic_s() > until_s)
            return false;
    }
}

/*
 * Waits until `value` reaches `want`; false once stopped or past the
 * deadline.  It spins while the partner is likely running, then sleeps: on
 * a busy machine the partner may be waiting for a CPU, and a thread woken
 * by the futex gets its CPU back at once, so both soon run together again.
 */
bool wait_for(shared_line &line, std::atomic<uint32_t> &value, uint32_t want, double deadline_s)
{
    for (;;) {
        const double now_s = monotonic_s();
        if (spin_for(value, want, std::min(now_s + SPIN_S, deadline_s)))
            return true;
        if (line.stop.load(std::memory_order_seq_cst))
            return false;
        const double left_s = deadline_s - monotonic_s();
        if (left_s <= 0) {
            stop_both(line);
            return false;
        }
        line.sleepers.fetch_add(1, std::memory_order_seq_cst);
        const uint32_t seen = value.load(std::memory_order_seq_cst);
        if (seen != want && !line.stop.load(std::memory_order_seq_cst))
            futex_wait(value, seen, std::min(left_s, MAX_SLEEP_S));
        line.sleepers.fetch_sub(1, std::memory_order_seq_cst);
    }
}

/* Pins the calling thread and waits for the other one; false if either failed. */
bool pin_and_meet(shared_line &line, int cpu, double deadline_s, bool &pinned)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pinned = sched_setaffinity(0, sizeof set, &set) == 0 && sched_getcpu() == cpu;
    if (!pinned) {
        stop_both(line);
        return false;
    }
    line.ready.fetch_add(1, std::memory_order_seq_cst);
    wake_sleepers(line, line.ready);
    return wait_for(line, line.ready, 2, deadline_s);
}

struct side {
    bool pinned = false;
    int rounds = 0;
    int64_t min_ticks = std::numeric_limits<int64_t>::max();
    int64_t min_round_trip_ticks = std::numeric_limits<int64_t>::max(); /* the reference's own, timed */
};

/* Each thread keeps its minimum in registers and writes `out` once at the
 * end: the two sides' results may share a cache line. */
void run_reference(shared_line &line, int cpu, int rounds, double deadline_s, side &out)
{
    side mine;
    if (pin_and_meet(line, cpu, deadline_s, mine.pinned)) {
        uint64_t sent = fenced_tsc();
        for (int i = 0; i < rounds; ++i) {
            line.reading.store(sent, std::memory_order_relaxed);
            publish(line, line.turn, static_cast<uint32_t>(2 * i + 1));
            if (!wait_for(line, line.turn, static_cast<uint32_t>(2 * i + 2), deadline_s))
                break;
            const uint64_t seen = line.reading.load(std::memory_order_relaxed);
            const uint64_t previous = sent;
            sent = fenced_tsc();
            mine.min_round_trip_ticks = std::min(mine.min_round_trip_ticks, static_cast<int64_t>(sent - previous));
            mine.min_ticks = std::min(mine.min_ticks, static_cast<int64_t>(sent - seen));
            mine.rounds = i + 1;
        }
    }
    stop_both(line);
    out = mine;
}

void run_compared(shared_line &line, int cpu, int rounds, double deadline_s, int64_t offset_ticks, side &out)
{
    side mine;
    if (pin_and_meet(line, cpu, deadline_s, mine.pinned))
        for (int i = 0; i < rounds; ++i) {
            if (!wait_for(line, line.turn, static_cast<uint32_t>(2 * i + 1), deadline_s))
                break;
            const uint64_t seen = line.reading.load(std::memory_order_relaxed);
            const uint64_t now = fenced_tsc() + static_cast<uint64_t>(offset_ticks);
            mine.min_ticks = std::min(mine.min_ticks, static_cast<int64_t>(now - seen));
            line.reading.store(now, std::memory_order_relaxed);
            publish(line, line.turn, static_cast<uint32_t>(2 * i + 2));
            mine.rounds = i + 1;
        }
    out = mine;
}

/* The two one-way minima add up to the round trip the bounds resolve; a
 * round trip timed on the reference CPU alone holds both ways and the work
 * between, so on a processor that orders each reading after the line it saw
 * the sum comes to most of it (four fifths or more, seen here).  Where the
 * sum falls below half of it, or to zero or less, readings were taken before
 * the line they follow was seen (an emulator such as qemu-user does not
 * order its TSC reads with memory), and the bounds bound nothing. */
std::string fixed(double value, int decimals);

bool readings_out_of_order(const cpu_rounds &c)
{
    const double bounds_round_trip_ticks =
        static_cast<double>(c.min_to_cpu_ticks) + static_cast<double>(c.min_to_reference_ticks);
    return bounds_round_trip_ticks <= 0 || 2 * bounds_round_trip_ticks < static_cast<double>(c.min_timed_round_trip_ticks);
}

cpu_rounds measure_cpu(int reference, int cpu, const options &o, double deadline_s)
{
    cpu_rounds result;
    result.cpu = cpu;
    shared_line line;
    side ref, cmp;
    std::thread a, b;
    try {
        a = std::thread(run_reference, std::ref(line), reference, o.rounds_per_cpu, deadline_s, std::ref(ref));
        b = std::thread(run_compared, std::ref(line), cpu, o.rounds_per_cpu, deadline_s, o.compared_offset_ticks,
                        std::ref(cmp));
    } catch (const std::system_error &e) {
        /* A reference thread that started waits for its partner until told to stop. */
        stop_both(line);
        if (a.joinable())
            a.join();
        result.problem = std::string("cannot start a thread: ") + e.what();
        return result;
    }
    a.join();
    b.join();
    result.rounds = std::min(ref.rounds, cmp.rounds);
    result.min_to_reference_ticks = ref.min_ticks;
    result.min_to_cpu_ticks = cmp.min_ticks;
    result.min_timed_round_trip_ticks = ref.min_round_trip_ticks;
    if (!ref.pinned || !cmp.pinned)
        result.problem = "cannot run a thread on CPU " + std::to_string(ref.pinned ? cpu : reference);
    else if (result.rounds < MIN_ROUNDS)
        result.problem = "only " + std::to_string(result.rounds) + " round trips in the time allowed";
    else if (readings_out_of_order(result))
        result.problem = "its readings are out of order with the cache line (an emulator's TSC?): the bounds' round "
                         "trip is " + fixed(static_cast<double>(result.min_to_cpu_ticks) +
                                                static_cast<double>(result.min_to_reference_ticks), 0) +
                         " ticks, one timed " + std::to_string(result.min_timed_round_trip_ticks);
    return result;
}

std::vector<int> allowed_cpus()
{
    std::vector<int> cpus;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0)
        return cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set))
            cpus.push_back(cpu);
    return cpus;
}

std::string fixed(double value, int decimals)
{
    if (std::fabs(value) < 0.5 * std::pow(10.0, -decimals))
        value = 0; /* no "-0.000" */
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string us(double ns)
{
    return fixed(ns * 1e-3, 3) + " us";
}

std::string join(const std::vector<std::string> &parts)
{
    std::string out;
    for (const std::string &p : parts)
        out += (out.empty() ? "" : "; ") + p;
    return out;
}

bool measured(const cpu_rounds &c)
{
    return c.problem.empty();
}

const cpu_rounds *first_unmeasured(const agreement &a)
{
    for (const cpu_rounds &c : a.cpus)
        if (!measured(c))
            return &c;
    return nullptr;
}

bool disagreement_beyond_limit(const agreement &a)
{
    return a.cpus_measured > 0 && a.disagreement_ns > DISAGREEMENT_LIMIT_NS;
}

/* Why the agreement cannot count for a fit; "" when it can. */
std::string agreement_unknown(const agreement &a)
{
    if (a.cpus_allowed == 0)
        return "the CPUs this process may use are unknown";
    if (a.cpus_allowed == 1)
        return a.cpus_online > 1 ? "this process may run on one CPU only: nothing to compare" : "";
    if (const cpu_rounds *c = first_unmeasured(a))
        return "CPU " + std::to_string(c->cpu) + " not measured (" + c->problem + ")";
    if (a.tsc_hz <= 0)
        return "the TSC's frequency is unknown";
    if (a.within_ns > DISAGREEMENT_LIMIT_NS)
        return "the CPUs' agreement is not resolved below " + us(a.within_ns);
    return "";
}

std::string number_or_null(bool known, double value, int decimals)
{
    return known ? fixed(value, decimals) : "null";
}

} // namespace

/* --- agreement across CPUs ------------------------------------------------ */

agreement measure_agreement(const options &o)
{
    agreement a;
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    a.cpus_online = online > 0 ? static_cast<int>(online) : 0;
    const std::vector<int> cpus = allowed_cpus();
    a.cpus_allowed = static_cast<int>(cpus.size());
    if (cpus.empty())
        return a;
    a.reference_cpu = cpus.front();
    const rate_sample start = take_rate_sample();
    const double deadline_s = monotonic_s() + o.time_limit_s;
    for (std::size_t i = 1; i < cpus.size(); ++i) {
        /* What is left of the cap, shared among the CPUs still to measure. */
        const double now_s = monotonic_s();
        const double share_s = (deadline_s - now_s) / static_cast<double>(cpus.size() - i);
        a.cpus.push_back(measure_cpu(a.reference_cpu, cpus[i], o, now_s + share_s));
    }
    const rate_sample end = take_rate_sample();
    if (end.raw_ns > start.raw_ns && end.tsc > start.tsc)
        a.tsc_hz = static_cast<double>(end.tsc - start.tsc) / (static_cast<double>(end.raw_ns - start.raw_ns) * 1e-9);
    judge_agreement(a);
    return a;
}

void judge_agreement(agreement &a)
{
    struct interval {
        int cpu;
        double lower, upper; /* the CPU's TSC minus the reference's, ticks */
    };
    std::vector<interval> known = {{a.reference_cpu, 0.0, 0.0}};
    a.round_trip_ns = a.disagreement_ns = a.within_ns = 0;
    a.worst_cpu = -1;
    a.worst_against = -1;
    double round_trip_ticks = 0;
    for (const cpu_rounds &c : a.cpus) {
        if (!measured(c))
            continue;
        known.push_back({c.cpu, -static_cast<double>(c.min_to_reference_ticks), static_cast<double>(c.min_to_cpu_ticks)});
        round_trip_ticks = std::max(round_trip_ticks, known.back().upper - known.back().lower);
    }
    a.cpus_measured = static_cast<int>(known.size()) - 1;
    a.comparable = a.cpus_allowed > 1 && a.cpus_measured == static_cast<int>(a.cpus.size()) && a.tsc_hz > 0;
    if (a.cpus_measured == 0 || a.tsc_hz <= 0)
        return;
    /* For CPUs i and j, TSC_i - TSC_j lies within (lower_i - upper_j, upper_i - lower_j). */
    double proven_ticks = 0, within_ticks = 0;
    for (const interval &i : known)
        for (const interval &j : known) {
            if (i.cpu == j.cpu)
                continue;
            within_ticks = std::max(within_ticks, i.upper - j.lower);
            if (i.lower - j.upper > proven_ticks) {
                proven_ticks = i.lower - j.upper;
                a.worst_cpu = i.cpu;
                a.worst_against = j.cpu;
            }
        }
    const double ns_per_tick = 1e9 / a.tsc_hz;
    a.disagreement_ns = proven_ticks * ns_per_tick;
    a.within_ns = within_ticks * ns_per_tick;
    a.round_trip_ns = round_trip_ticks * ns_per_tick;
}

/* --- the rate against the raw clock --------------------------------------- */

rate_sample take_rate_sample()
{
    rate_sample best;
    best.bracket_ticks = std::numeric_limits<uint64_t>::max();
    for (int i = 0; i < 5; ++i) {
        const uint64_t before = fenced_tsc();
        const int64_t raw = raw_ns();
        const uint64_t after = fenced_tsc();
        if (after >= before && after - before < best.bracket_ticks) {
            best.bracket_ticks = after - before;
            best.tsc = before + (after - before) / 2;
            best.raw_ns = raw;
        }
    }
    return best;
}

rate judge_rate(const std::vector<rate_sample> &samples)
{
    rate r;
    if (samples.size() < 3 || samples.back().raw_ns <= samples.front().raw_ns)
        return r;
    const rate_sample &first = samples.front(), &last = samples.back();
    const int64_t middle_ns = first.raw_ns + (last.raw_ns - first.raw_ns) / 2;
    const rate_sample *mid = &samples[1];
    for (std::size_t i = 1; i + 1 < samples.size(); ++i)
        if (std::llabs(samples[i].raw_ns - middle_ns) < std::llabs(mid->raw_ns - middle_ns))
            mid = &samples[i];
    const double span1_ns = static_cast<double>(mid->raw_ns - first.raw_ns);
    const double span2_ns = static_cast<double>(last.raw_ns - mid->raw_ns);
    if (span1_ns <= 0 || span2_ns <= 0)
        return r;
    r.measured = true;
    r.span_s = (span1_ns + span2_ns) * 1e-9;
    /* Signed: a TSC that went back shows as a negative rate. */
    const double rate1 = static_cast<double>(static_cast<int64_t>(mid->tsc - first.tsc)) / span1_ns;
    const double rate2 = static_cast<double>(static_cast<int64_t>(last.tsc - mid->tsc)) / span2_ns;
    if (rate1 <= 0 || rate2 <= 0) {
        /* The TSC stood still or went back in one half: no rate at all. */
        r.change_ppm = -1e6;
        r.moved = true;
        return r;
    }
    r.tsc_hz = static_cast<double>(last.tsc - first.tsc) / r.span_s;
    r.change_ppm = (rate2 - rate1) / rate1 * 1e6;
    /* Each sample's raw time lies within its bracket: half of it either way,
     * and the raw clock's nanosecond. */
    auto error_ns = [&](const rate_sample &s) { return static_cast<double>(s.bracket_ticks) / 2 / rate1 + 1.0; };
    r.uncertainty_ppm =
        ((error_ns(first) + error_ns(*mid)) / span1_ns + (error_ns(*mid) + error_ns(last)) / span2_ns) * 1e6;
    r.stable = std::fabs(r.change_ppm) + r.uncertainty_ppm <= RATE_CHANGE_LIMIT_PPM;
    r.moved = std::fabs(r.change_ppm) - r.uncertainty_ppm > RATE_CHANGE_LIMIT_PPM;
    return r;
}

/* --- the verdict ----------------------------------------------------------- */

verdict judge(const tsc_health::health &h, const agreement &a, const rate &r)
{
    std::vector<std::string> unfit;
    if (h.flags_known && !h.constant_tsc)
        unfit.push_back("no invariant TSC (the CPU lacks constant_tsc)");
    if (tsc_health::kernel_found_unstable(h))
        unfit.push_back("the kernel found it unstable (tsc dropped from its clocksources without tsc=unstable)");
    if (disagreement_beyond_limit(a))
        unfit.push_back("CPUs disagree by " + us(a.disagreement_ns));
    if (r.moved)
        unfit.push_back("the rate moved by " + fixed(std::fabs(r.change_ppm), 1) + " ppm");
    if (!unfit.empty())
        return {verdict_kind::unfit, join(unfit)};
    std::vector<std::string> unknown;
    if (!h.flags_known)
        unknown.push_back("the CPU's flags are unknown");
    const std::string cpus = agreement_unknown(a);
    if (!cpus.empty())
        unknown.push_back(cpus);
    if (!unknown.empty())
        return {verdict_kind::unknown, join(unknown)};
    return {verdict_kind::fit, ""};
}

const char *verdict_name(verdict_kind kind)
{
    return kind == verdict_kind::fit ? "fit" : kind == verdict_kind::unfit ? "unfit" : "unknown";
}

std::string warning(const agreement &a, const rate &r)
{
    std::string out;
    if (disagreement_beyond_limit(a))
        out += "warning: the TSCs of CPU " + std::to_string(a.worst_cpu) + " and CPU " +
               std::to_string(a.worst_against) + " disagree by " + us(a.disagreement_ns) +
               " (measured): a thread that moves between them sees YALTIME's time jump by up to that much, "
               "backwards as often as forwards\n";
    if (r.moved)
        out += "warning: the TSC's rate against CLOCK_MONOTONIC_RAW moved by " + fixed(std::fabs(r.change_ppm), 1) +
               " ppm within " + fixed(r.span_s, 2) + " s: YALTIME's clock drifts from the OS clock between the "
               "owner's corrections\n";
    return out;
}

namespace {

std::string cpus_line(const agreement &a)
{
    if (a.cpus_allowed == 0)
        return "unknown: cannot read this process's CPU affinity";
    const std::string online = std::to_string(a.cpus_online) + " online";
    if (a.cpus_allowed == 1)
        return "nothing to compare: this process may run on CPU " + std::to_string(a.reference_cpu) + " only (" +
               online + ")";
    std::string line;
    if (a.cpus_measured == 0 || a.tsc_hz <= 0)
        line = "not measured";
    else if (disagreement_beyond_limit(a))
        line = "disagree by " + us(a.disagreement_ns) + " (CPU " + std::to_string(a.worst_cpu) + " against CPU " +
               std::to_string(a.worst_against) + "), within " + us(a.within_ns);
    else
        line = "agree within " + us(a.within_ns) +
               (a.disagreement_ns > 0 ? ", disagree by at least " + us(a.disagreement_ns) : "");
    const std::size_t others = a.cpus.size();
    line += ": measured " +
            (static_cast<std::size_t>(a.cpus_measured) == others ? "" : std::to_string(a.cpus_measured) + " of ") +
            std::to_string(others) + (others == 1 ? " CPU" : " CPUs") + " against CPU " +
            std::to_string(a.reference_cpu);
    if (a.cpus_measured > 0 && a.tsc_hz > 0)
        line += ", round trip " + us(a.round_trip_ns);
    if (a.cpus_online > a.cpus_allowed)
        line += "; " + std::to_string(a.cpus_online - a.cpus_allowed) +
                (a.cpus_online - a.cpus_allowed == 1 ? " CPU" : " CPUs") + " skipped (this process may not run on them)";
    if (const cpu_rounds *c = first_unmeasured(a))
        line += "; CPU " + std::to_string(c->cpu) + " not measured: " + c->problem;
    return line;
}

std::string rate_line(const rate &r)
{
    if (!r.measured)
        return "not measured (no span watched)";
    if (r.tsc_hz <= 0)
        return "the TSC stood still or went back within " + fixed(r.span_s, 2) + " s";
    const char *judged = r.stable ? "stable" : r.moved ? "moved" : "too short to tell";
    return fixed(r.tsc_hz * 1e-6, 6) + " MHz against CLOCK_MONOTONIC_RAW over " + fixed(r.span_s, 2) + " s, " +
           judged + ": the halves differ by " + (r.change_ppm >= 0 ? "+" : "") + fixed(r.change_ppm, 3) +
           " ppm +/- " + fixed(r.uncertainty_ppm, 3);
}

} // namespace

std::string format_text(const agreement &a, const rate &r, const verdict &v)
{
    return "tsc cpus     " + cpus_line(a) + "\ntsc rate     " + rate_line(r) + "\ntsc verdict  " +
           verdict_name(v.kind) + (v.reason.empty() ? "" : ": " + v.reason) + "\n";
}

std::string summary_line(const agreement &a, const verdict &v)
{
    return std::string("TSC ") + verdict_name(v.kind) + (v.reason.empty() ? "" : ": " + v.reason) + "; CPUs " +
           cpus_line(a) + "\n";
}

std::string json_fields(const agreement &a, const rate &r, const verdict &v)
{
    const bool cpus_known = a.cpus_measured > 0 && a.tsc_hz > 0;
    const bool rate_known = r.measured && r.tsc_hz > 0;
    return std::string(", \"tsc_verdict\": \"") + verdict_name(v.kind) + "\", \"tsc_verdict_reason\": " +
           (v.reason.empty() ? std::string("null") : status::json_string(v.reason)) +
           ", \"tsc_cpus_allowed\": " + std::to_string(a.cpus_allowed) +
           ", \"tsc_cpus_online\": " + std::to_string(a.cpus_online) +
           ", \"tsc_cpus_measured\": " + std::to_string(a.cpus_measured) +
           ", \"tsc_disagreement_us\": " + number_or_null(cpus_known, a.disagreement_ns * 1e-3, 3) +
           ", \"tsc_agreement_within_us\": " + number_or_null(cpus_known, a.within_ns * 1e-3, 3) +
           ", \"tsc_round_trip_us\": " + number_or_null(cpus_known, a.round_trip_ns * 1e-3, 3) +
           ", \"tsc_rate_mhz\": " + number_or_null(rate_known, r.tsc_hz * 1e-6, 6) +
           ", \"tsc_rate_change_ppm\": " + number_or_null(r.measured, r.change_ppm, 3) +
           ", \"tsc_rate_uncertainty_ppm\": " + number_or_null(rate_known, r.uncertainty_ppm, 3) +
           ", \"tsc_rate_span_s\": " + number_or_null(r.measured, r.span_s, 3);
}

} // namespace tsc_check
