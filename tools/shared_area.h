/*
 * shared_area.h - reading the shared calibration area "yal_time_master"
 * from outside, for yaltime-status.
 *
 * The area is 16408 bytes: a header of five 32-bit words (heartbeat
 * `activity`, `updates`, `stepcount`, `idx`, `valid_idx`), a 4-byte gap and
 * a ring of 1024 records of slope (microseconds per tick, double) and
 * intercept (microseconds, int64).  Its owner writes it while we read, so
 * every field is read with an atomic load.  Nothing here trusts the area:
 * the size is checked before anything is read, and the record is read only
 * when idx is inside the ring.  Who may have written it is judged by the
 * rule the readers use (host/shm_trust.h).
 */
#ifndef YALTIME_TOOLS_SHARED_AREA_H
#define YALTIME_TOOLS_SHARED_AREA_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/stat.h>

namespace status {

constexpr std::size_t AREA_SIZE_BYTES = 16408;
constexpr int32_t RING_SIZE = 1024;
constexpr const char *AREA_NAME = "yal_time_master";

/* Exit codes of yaltime-status. */
enum exit_code {
    EXIT_LIVE = 0,    /* the heartbeat changed while we watched */
    EXIT_STALE = 1,   /* the area is there, its heartbeat did not move */
    EXIT_ABSENT = 2,  /* no such area */
    EXIT_INVALID = 3, /* wrong size, or an index outside the ring */
    EXIT_FAILED = 4,  /* bad usage, or the area could not be opened or mapped */
    EXIT_UNTRUSTED = 5, /* another user could have written it: readers ignore it */
};

struct area_fields {
    int32_t activity = 0;
    int32_t updates = 0;
    int32_t stepcount = 0;
    int32_t idx = 0;
    int32_t valid_idx = 0;
    bool slope_known = false; /* idx names a record (not -1, the initial calibration) */
    double slope_us_per_tick = 0.0;
};

/* "/" + prefix + "yal_time_master"; a null prefix counts as empty. */
std::string area_posix_name(const char *prefix);

/* The heartbeat alone: `base` must hold at least AREA_SIZE_BYTES. */
int32_t read_heartbeat(const void *base);

/*
 * Reads the fields of an area of `size` bytes at `base` (8-byte aligned).
 * Returns "" when the area is usable, else what is wrong with it; the header
 * fields are filled whenever the size is right.  idx -1 is the owner's
 * initial calibration and is not a fault; so is valid_idx -1.
 */
std::string read_area(const void *base, std::size_t size, area_fields &out);

/* TSC frequency from the slope in force: 1 / slope, since slope is us per tick. */
double tsc_mhz(const area_fields &fields);

struct report {
    std::string area;         /* POSIX name */
    std::string status;       /* live, stale, absent, invalid, untrusted */
    long size_bytes = -1;     /* -1 when unknown */
    bool owner_known = false; /* the area's owner and mode below were read */
    unsigned long owner_uid = 0;
    std::string owner_name;   /* "" when the user database has no name for it */
    std::string mode;         /* permission bits in octal, "0644" */
    long owner_pid = 0;       /* the process holding the owner's lock; 0 unknown */
    bool fields_known = false;
    area_fields fields;
    std::string problem;      /* for invalid */
    double watched_s = 0.0;   /* how long the heartbeat was watched */
    double changed_after_s = -1.0; /* when it was first seen to change; -1 never */
};

/* Fills the owner and mode of `r` from the area's stat and judges it as a
 * reader of this user would; returns false (status "untrusted", the reason
 * in problem) when a reader would refuse it. */
bool judge_area(const struct ::stat &st, report &r);

std::string format_text(const report &r);
std::string format_json(const report &r);

/* JSON string literal of `text`, with quotes. */
std::string json_string(const std::string &text);

} // namespace status

#endif /* YALTIME_TOOLS_SHARED_AREA_H */
