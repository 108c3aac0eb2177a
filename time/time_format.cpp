/*
 * time_format.cpp - the current time as an NTP-format timestamp, and a time
 * as UTC date-and-time text behind a caller's prefix:
 *     PREFIX YYYY-MM-DD hh:mm:ss.uuuuuu +0
 *
 * Both texts go through the host's snprintf and the result adds up its
 * counts, so a result of buflen or more tells the caller the text was cut.
 * Nothing is ever written outside the caller's buflen bytes.  The prefix is
 * text, not a format: "%%" in it comes out as "%", and any other conversion
 * directive (such as "%s" or "%n") is copied as it stands, never handed to
 * a formatter.  Whole seconds are broken down with the reentrant 64-bit
 * gmtime_r, so dates from 2038 on are right on every target; a time that is not positive, not finite
 * or beyond what the calendar can hold gives the prefix only.
 */
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>

#include "interface/vek_base.interface.h"
#include "time/clock_reading.h"
#include "time/yaltime_entry.h"

static const char Date_time_format[] = "%04d-%02d-%02d %02d:%02d:%09.6f +0";

/* A count the host's snprintf returned, never negative. */
static int count_of(int returned) { return returned > 0 ? returned : 0; }

/* The room left after `size` characters, and where it starts. */
struct room {
    char *at;
    int length;
};

static room room_after(char *buf, int buflen, int size)
{
    if (buf == nullptr || buflen <= 0 || size >= buflen)
        return {nullptr, 0};
    return {buf + size, buflen - size};
}

static int add_counts(int a, int b) { return a > INT_MAX - b ? INT_MAX : a + b; }

/* Copies `length` bytes of literal text after `size` characters already counted. */
static int append_literal(char *buf, int buflen, int size, const char *text, size_t length)
{
    while (length > 0) {
        const int chunk = length > INT_MAX / 2 ? INT_MAX / 2 : static_cast<int>(length);
        const room r = room_after(buf, buflen, size);
        size = add_counts(size, count_of(vek_base_snprintf(r.at, r.length, "%.*s", chunk, text)));
        text += chunk;
        length -= chunk;
    }
    return size;
}

/*
 * Writes the prefix.  One without '%' is handed to snprintf as it is (it has
 * no conversions); one with '%' is copied run by run, "%%" becoming "%".
 */
static int write_prefix(char *buf, int buflen, const char *prefix)
{
    if (prefix == nullptr)
        prefix = ""; /* still terminates the caller's buffer */
    if (std::strchr(prefix, '%') == nullptr) {
        const room r = room_after(buf, buflen, 0);
        return count_of(vek_base_snprintf(r.at, r.length, prefix));
    }

    int size = 0;
    const char *run = prefix;
    for (const char *p = prefix; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == '%') {
            size = append_literal(buf, buflen, size, run, static_cast<size_t>(p - run) + 1);
            ++p;
            run = p + 1;
        }
    }
    return append_literal(buf, buflen, size, run, std::strlen(run));
}

/* Appends the date and time of `fields` with `seconds` as the seconds field. */
static int append_date_time(char *buf, int buflen, int size, const struct tm &fields, double seconds)
{
    const room r = room_after(buf, buflen, size);
    const int written = vek_base_snprintf(r.at, r.length, Date_time_format, fields.tm_year + 1900,
                                          fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min,
                                          seconds);
    return add_counts(size, count_of(written));
}

/* UTC fields of `secs`; false beyond the years the text's int can hold. */
static bool break_down_utc(time_t secs, struct tm *fields)
{
    return gmtime_r(&secs, fields) != nullptr && fields->tm_year <= INT_MAX - 1900;
}

/* 2^63 as a double: floors at or above it do not fit a 64-bit time_t. */
static constexpr double Time_t_limit = 9223372036854775808.0;

extern "C" int func_YALTIME_SNPRINTF_TIME(char *buf, int buflen, const char *format, YALTIME_SEC_T _time)
{
    const int size = write_prefix(buf, buflen, format);
    if (!(_time > 0) || !(_time < Time_t_limit))
        return size;
    const double whole = std::floor(_time);
    const time_t secs = static_cast<time_t>(whole);
    struct tm fields;
    if (!break_down_utc(secs, &fields))
        return size;
    const double seconds = static_cast<double>(fields.tm_sec) - static_cast<double>(secs) + _time;
    return append_date_time(buf, buflen, size, fields, seconds);
}

extern "C" int func_YALTIME_SNPRINTF_TIME_NTP(char *buf, int buflen, const char *format, YALTIME_NTP_T _time)
{
    const int size = write_prefix(buf, buflen, format);
    if (_time == 0)
        return size;
    const time_t secs = static_cast<time_t>(_time >> 32);
    struct tm fields;
    if (!break_down_utc(secs, &fields))
        return size;
    const double fraction = static_cast<double>(static_cast<uint32_t>(_time)) * (1.0 / NTP_FRACTION_SEC);
    return append_date_time(buf, buflen, size, fields, fraction + fields.tm_sec);
}

extern "C" YALTIME_NTP_T func_YALTIME_NOW_NTP(void) { return yaltime_secs_to_ntp(gettime_now()); }
