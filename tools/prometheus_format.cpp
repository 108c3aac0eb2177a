/*
 * prometheus_format.cpp - the exposition text.
 */
#include "tools/prometheus_format.h"


#include <charconv>
#include <cmath>
#include <cstdlib>

namespace prometheus {

const std::vector<std::string> STATUS_NAMES = {"live", "stale", "absent", "invalid", "untrusted", "failed"};
const std::vector<std::string> TSC_VERDICT_NAMES = {"fit", "unfit", "unknown"};

namespace {

void tsc_check_metrics(exposition &e, const status_facts &facts)
{
    const tsc_check::agreement &a = facts.agreement;
    for (const std::string &name : TSC_VERDICT_NAMES)
        e.gauge("yaltime_tsc_verdict",
                "The TSC check's verdict (measured agreement across CPUs and rate, the CPU's flags, the kernel's "
                "finding): 1 for the one reached, 0 for the others.",
                name == tsc_check::verdict_name(facts.verdict.kind) ? 1 : 0, {{"verdict", name}});
    if (a.cpus_measured > 0 && a.tsc_hz > 0) {
        e.gauge("yaltime_tsc_disagreement_seconds",
                "Largest disagreement between CPUs' TSCs that the check proved; 0 when it proved none.",
                a.disagreement_ns * 1e-9);
        e.gauge("yaltime_tsc_agreement_within_seconds",
                "Largest disagreement between CPUs' TSCs consistent with the check's readings.", a.within_ns * 1e-9);
        e.gauge("yaltime_tsc_round_trip_seconds",
                "Round trip of a cache line between CPUs: the check resolves no disagreement below it.",
                a.round_trip_ns * 1e-9);
    }
    e.gauge("yaltime_tsc_cpus_measured", "CPUs compared with the reference CPU by the check.", a.cpus_measured);
    if (facts.rate.stable || facts.rate.moved)
        e.gauge("yaltime_tsc_rate_change_ratio",
                "Change of the TSC's rate against CLOCK_MONOTONIC_RAW between the halves of the span watched; "
                "absent when the span was too short to tell.",
                facts.rate.change_ppm * 1e-6);
}

} // namespace

std::string escape_label_value(const std::string &value)
{
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string format_value(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

void exposition::add(const std::string &name, const std::string &help, const char *type, double value,
                     const labels &l)
{
    family *f = nullptr;
    for (family &existing : families_)
        if (existing.name == name)
            f = &existing;
    if (f == nullptr) {
        families_.push_back({name, help, type, {}});
        f = &families_.back();
    }
    std::string sample = name;
    if (!l.empty()) {
        sample += "{";
        for (std::size_t i = 0; i < l.size(); ++i)
            sample += (i > 0 ? "," : "") + l[i].first + "=\"" + escape_label_value(l[i].second) + "\"";
        sample += "}";
    }
    f->samples.push_back(sample + " " + format_value(value));
}

void exposition::gauge(const std::string &name, const std::string &help, double value, const labels &l)
{
    add(name, help, "gauge", value, l);
}

void exposition::counter(const std::string &name, const std::string &help, double value, const labels &l)
{
    add(name, help, "counter", value, l);
}

std::string exposition::text() const
{
    std::string out;
    for (const family &f : families_) {
        out += "# HELP " + f.name + " " + f.help + "\n";
        out += "# TYPE " + f.name + " " + f.type + "\n";
        for (const std::string &s : f.samples)
            out += s + "\n";
    }
    return out;
}

std::string status_metrics(const status_facts &facts)
{
    const status::report &r = facts.report;
    exposition e;
    exposition::labels area_labels = {{"area", r.area}};
    if (r.owner_known && !r.owner_name.empty())
        area_labels.push_back({"owner", r.owner_name});
    e.gauge("yaltime_area_info", "The shared calibration area yaltime-status examined, and its owner's name.", 1,
            area_labels);
    for (const std::string &name : STATUS_NAMES)
        e.gauge("yaltime_status", "What yaltime-status found: 1 for the status it reports, 0 for the others.",
                name == r.status ? 1 : 0, {{"status", name}});
    e.gauge("yaltime_status_code",
            "Exit status of yaltime-status: 0 live, 1 stale, 2 absent, 3 invalid, 4 usage or system error, "
            "5 untrusted.",
            facts.status_code);
    e.gauge("yaltime_owner_live", "1 if the owner's heartbeat changed while yaltime-status watched it.",
            r.status == "live" ? 1 : 0);
    if (r.size_bytes >= 0)
        e.gauge("yaltime_area_size_bytes", "Size of the shared area.", static_cast<double>(r.size_bytes));
    if (r.owner_known) {
        e.gauge("yaltime_area_owner_uid", "User id that owns the shared area.", static_cast<double>(r.owner_uid));
        /* The report gives the bits as octal text, "0644". */
        e.gauge("yaltime_area_mode", "Permission bits of the shared area, as a number (420 is 0644).",
                static_cast<double>(std::strtoul(r.mode.c_str(), nullptr, 8)));
        e.gauge("yaltime_area_trusted",
                "1 if readers trust the area: owned by root or by this user, writable by no one else.",
                r.status == "untrusted" ? 0 : 1);
    }
    if (r.fields_known) {
        const status::area_fields &f = r.fields;
        e.counter("yaltime_heartbeat_total", "The owner's heartbeat, counted once a second.", f.activity);
        e.counter("yaltime_steps_total", "Steps of the shared calibration taken by the loop filter.", f.stepcount);
        e.counter("yaltime_updates_total", "Records brought into force by the owner's discipline thread.",
                  f.updates);
        e.gauge("yaltime_idx", "Index of the record in force; -1 during the initial calibration.", f.idx);
        e.gauge("yaltime_valid_idx", "Index of the last record written ahead of idx.", f.valid_idx);
        if (status::tsc_mhz(f) > 0)
            e.gauge("yaltime_tsc_frequency_hertz", "TSC frequency of the record in force.",
                    status::tsc_mhz(f) * 1e6);
    }
    if (facts.error.known) {
        e.gauge("yaltime_clock_error_seconds",
                "OS clock minus YALTIME's shared clock; positive when YALTIME is behind.", facts.error.error_s);
        e.gauge("yaltime_clock_error_bracket_seconds",
                "Width of the narrowest OS clock reading bracket behind the clock error.", facts.error.bracket_s);
    }
    const tsc_health::health &h = facts.health;
    if (h.clocksource_known) {
        e.gauge("yaltime_clocksource_info", "The kernel's current clocksource.", 1, {{"clocksource", h.clocksource}});
        e.gauge("yaltime_clocksource_tsc", "1 if the kernel's current clocksource is the TSC.",
                h.clocksource == "tsc" ? 1 : 0);
    }
    if (h.available_known)
        e.gauge("yaltime_tsc_available",
                "1 if tsc is among the kernel's available clocksources; 0 once the kernel has marked it unstable.",
                h.tsc_available ? 1 : 0);
    if (h.flags_known) {
        e.gauge("yaltime_constant_tsc", "1 if the CPU reports constant_tsc (a rate independent of frequency).",
                h.constant_tsc ? 1 : 0);
        e.gauge("yaltime_nonstop_tsc", "1 if the CPU reports nonstop_tsc (the TSC runs in sleep states).",
                h.nonstop_tsc ? 1 : 0);
    }
    e.gauge("yaltime_tsc_healthy",
            "0 if the kernel has marked the TSC unstable (not told to by tsc=unstable) or the CPU lacks "
            "constant_tsc; another clocksource in use is no fault.",
            tsc_health::healthy(h) ? 1 : 0);
    if (facts.tsc_checked)
        tsc_check_metrics(e, facts);
    return e.text();
}

} // namespace prometheus
