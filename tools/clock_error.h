/*
 * clock_error.h - how far the shared clock is from the OS clock, measured
 * from outside the component.
 *
 * One reading brackets the OS clock between two TSC reads (TSC,
 * clock_gettime, TSC) and converts the middle of the bracket with the record
 * in force, as the component's own clock-error entry point does: the error
 * is OS clock minus YALTIME's clock, positive when YALTIME is behind.  A
 * reading during which the process was preempted has a wide bracket and
 * shows the delay as error, so only the readings whose bracket is at most
 * twice the narrowest one count, and their median is the estimate.
 *
 * Both clocks are taken to the nanosecond: the OS clock as whole
 * nanoseconds, the record's line carried in long double
 * (calib::line_tsc_to_ns), and the error subtracted in integers.  A double
 * of seconds since 1970 steps by 2^-22 s (about 238 ns) in this century and
 * would hide the error of a clock that is good to a few nanoseconds.
 *
 * The arithmetic takes readings as plain values; only take_readings() reads
 * clocks and the area.
 */
#ifndef YALTIME_TOOLS_CLOCK_ERROR_H
#define YALTIME_TOOLS_CLOCK_ERROR_H

#include <cstdint>
#include <string>
#include <vector>

namespace clock_error {

/* Readings taken per estimate. */
constexpr int READINGS = 9;

/* One bracket of the OS clock, with the record that was in force. */
struct reading {
    uint64_t tsc_before = 0;
    uint64_t tsc_after = 0;
    int64_t os_ns = 0;             /* CLOCK_REALTIME, nanoseconds since 1970 */
    bool record_known = false;     /* idx named a record of the ring */
    double slope_us_per_tick = 0.0;
    int64_t intercept_us = 0;
};

struct estimate {
    bool known = false;
    std::string problem;           /* why it is not known */
    double error_s = 0.0;          /* OS clock minus shared clock, from whole nanoseconds */
    double bracket_s = 0.0;        /* narrowest bracket, in seconds of the record */
    int readings_used = 0;
};

/* The midpoint of the bracket, as the component takes it: before + (after - before) / 2. */
uint64_t bracket_middle(const reading &r);

/* The shared clock's time of the bracket's middle in whole nanoseconds since
 * 1970, (ticks * slope + intercept) * 1000 rounded; false when the record
 * gives no time from 1970 to 2262 (NaN, negative, beyond the int64_t range). */
bool shared_clock_ns(const reading &r, int64_t *ns);

/* CLOCK_REALTIME in nanoseconds since 1970; 0 if it cannot be read or is before 1970. */
int64_t os_clock_ns();

/* The median error of the tight readings; not known when no reading has a
 * record giving a positive time, or a bracket that runs backwards. */
estimate estimate_error(const std::vector<reading> &readings);

/* Takes `count` readings against the area at `area` (AREA_SIZE_BYTES, already checked). */
std::vector<reading> take_readings(const void *area, int count);

/* "clock error  +0.012 us (OS clock minus YALTIME's shared clock)" or why it is unknown. */
std::string format_text(const estimate &e);

/* `, "clock_error_s": ...` fields to append to a JSON object. */
std::string json_fields(const estimate &e);

} // namespace clock_error

#endif /* YALTIME_TOOLS_CLOCK_ERROR_H */
