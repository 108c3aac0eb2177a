/*
 * shared_area.cpp - reading the shared calibration area from outside.
 */
#include "tools/shared_area.h"

#include <atomic>
#include <cmath>
#include <cstdio>

#include "host/shm_trust.h"
#include "time/tsci2_loopfilter.h"

static_assert(sizeof(calibration_context_t) == status::AREA_SIZE_BYTES, "area layout");
static_assert(CALIB_TABLE_SIZE == status::RING_SIZE, "ring size");

namespace status {

namespace {

/* An atomic load of a field another process may be writing; it never stores. */
template <typename T>
T load(const T &field)
{
    return std::atomic_ref<T>(const_cast<T &>(field)).load(std::memory_order_acquire);
}

std::string number(double value, const char *format)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

std::string area_posix_name(const char *prefix)
{
    return std::string("/") + (prefix != nullptr ? prefix : "") + AREA_NAME;
}

int32_t read_heartbeat(const void *base)
{
    return load(static_cast<const calibration_context_t *>(base)->activity);
}

std::string read_area(const void *base, std::size_t size, area_fields &out)
{
    out = area_fields();
    if (size != AREA_SIZE_BYTES)
        return "size " + std::to_string(size) + " bytes, expected " + std::to_string(AREA_SIZE_BYTES);
    const auto *area = static_cast<const calibration_context_t *>(base);
    out.activity = load(area->activity);
    out.updates = load(area->updates);
    out.stepcount = load(area->stepcount);
    out.idx = load(area->idx);
    out.valid_idx = load(area->valid_idx);
    if (out.idx < -1 || out.idx >= RING_SIZE)
        return "idx " + std::to_string(out.idx) + " outside the ring 0..1023";
    if (out.valid_idx < -1 || out.valid_idx >= RING_SIZE)
        return "valid_idx " + std::to_string(out.valid_idx) + " outside the ring 0..1023";
    if (out.idx >= 0) {
        out.slope_known = true;
        out.slope_us_per_tick = load(area->calib_table[out.idx].slope);
    }
    return "";
}

bool judge_area(const struct ::stat &st, report &r)
{
    r.owner_known = true;
    r.owner_uid = static_cast<unsigned long>(st.st_uid);
    r.owner_name = shm_trust::user_name(st.st_uid);
    r.mode = shm_trust::mode_text(st.st_mode);
    const shm_trust::verdict verdict = shm_trust::judge(st);
    if (verdict == shm_trust::TRUSTED)
        return true;
    r.status = "untrusted";
    r.problem = shm_trust::reason(verdict);
    return false;
}

double tsc_mhz(const area_fields &fields)
{
    if (!fields.slope_known || !(fields.slope_us_per_tick > 0.0) || !std::isfinite(fields.slope_us_per_tick))
        return 0.0;
    return 1.0 / fields.slope_us_per_tick;
}

std::string format_text(const report &r)
{
    std::string out = "area       " + r.area;
    if (r.size_bytes >= 0)
        out += " (" + std::to_string(r.size_bytes) + " bytes)";
    out += "\n";
    if (r.owner_known)
        out += "owned by   " + (r.owner_name.empty() ? "" : r.owner_name + " ") + "(uid " +
               std::to_string(r.owner_uid) + "), mode " + r.mode + "\n";
    if (r.status == "absent")
        return out + "owner      none: the area does not exist\n";
    if (r.status == "untrusted")
        return out + "untrusted  " + r.problem + ": readers ignore it, an owner replaces it\n";
    if (r.status == "invalid" && !r.fields_known)
        return out + "invalid    " + r.problem + "\n";
    const std::string pid = r.owner_pid > 0 ? ", pid " + std::to_string(r.owner_pid) : "";
    if (r.status == "live")
        out += "owner      live (heartbeat changed after " + number(r.changed_after_s, "%.2f") + " s)" + pid + "\n";
    else if (r.status == "stale")
        out += "owner      stale (heartbeat unchanged for " + number(r.watched_s, "%.2f") + " s)" + pid + "\n";
    else
        out += "invalid    " + r.problem + "\n";
    const area_fields &f = r.fields;
    out += "heartbeat  " + std::to_string(f.activity) + "\n";
    out += "idx        " + std::to_string(f.idx) + (f.idx == -1 ? " (initial calibration running)" : "") + "\n";
    out += "valid_idx  " + std::to_string(f.valid_idx) + "\n";
    if (r.status != "invalid")
        out += "TSC        " + (tsc_mhz(f) > 0 ? number(tsc_mhz(f), "%.6f") + " MHz" : std::string("unknown")) + "\n";
    out += "steps      " + std::to_string(f.stepcount) + "\n";
    out += "updates    " + std::to_string(f.updates) + "\n";
    return out;
}

std::string json_string(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string format_json(const report &r)
{
    std::string out = "{\"area\": " + json_string(r.area) + ", \"status\": " + json_string(r.status);
    if (r.size_bytes >= 0)
        out += ", \"size\": " + std::to_string(r.size_bytes);
    if (r.owner_known) {
        out += ", \"owner_uid\": " + std::to_string(r.owner_uid);
        out += ", \"owner_name\": " + (r.owner_name.empty() ? std::string("null") : json_string(r.owner_name));
        out += ", \"mode\": " + json_string(r.mode);
    }
    if (r.owner_pid > 0)
        out += ", \"owner_pid\": " + std::to_string(r.owner_pid);
    if (!r.problem.empty())
        out += ", \"problem\": " + json_string(r.problem);
    if (r.status == "live" || r.status == "stale") {
        out += ", \"watched_s\": " + number(r.watched_s, "%.3f");
        out += ", \"heartbeat_changed_after_s\": " +
               (r.changed_after_s >= 0 ? number(r.changed_after_s, "%.3f") : std::string("null"));
    }
    if (r.fields_known) {
        const area_fields &f = r.fields;
        out += ", \"heartbeat\": " + std::to_string(f.activity);
        out += ", \"idx\": " + std::to_string(f.idx);
        out += ", \"valid_idx\": " + std::to_string(f.valid_idx);
        out += ", \"tsc_mhz\": " + (tsc_mhz(f) > 0 ? number(tsc_mhz(f), "%.6f") : std::string("null"));
        out += ", \"steps\": " + std::to_string(f.stepcount);
        out += ", \"updates\": " + std::to_string(f.updates);
    }
    return out + "}\n";
}

} // namespace status
