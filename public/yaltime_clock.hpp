/*
 * yaltime_clock.hpp - YALTIME's clock in the std::chrono form (C++17 and
 * later).
 *
 *     vek_host_start(err, sizeof err);
 *     yaltime::clock::bind(vek_host_lookup);        // once, after start
 *     yaltime::clock::time_point t = yaltime::clock::now();
 *     std::time_t s = yaltime::clock::to_time_t(t);
 *     auto sys = yaltime::clock::to_sys(t);         // system_clock::time_point
 *
 * yaltime::clock meets the standard's Clock requirements: rep, period,
 * duration, time_point, is_steady and now().  Its epoch is system_clock's,
 * 1970-01-01 00:00:00 UTC, and it counts nanoseconds in a signed 64-bit
 * number, which holds the years 1677 to 2262; a reading outside them
 * saturates at the end of the range.  A reading carries the resolution of
 * YALTIME's double seconds (about 0.24 us today), truncated toward zero
 * to whole nanoseconds.  It is not steady: YALTIME follows the
 * OS real-time clock, steps included.
 *
 * now() calls the component's YALTIME_NOW through the pointer bind() looked
 * up once: one indirect call and a conversion, no lookup and no system call.
 * Until bind() has succeeded it reads std::chrono::system_clock instead, so
 * that a clock used before its component started still tells the time.
 * bind() may be called from one thread while others call now().
 */
#ifndef YALTIME_CLOCK_HPP
#define YALTIME_CLOCK_HPP

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "yaltime_clock.hpp needs C++17 or later; C programs use interface/yaltime.interface.h"
#endif

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <limits>
#include <ratio>

#include "../interface/yaltime.interface.h"
#include "vek.h"

namespace yaltime {

class clock {
public:
    using rep = std::int64_t;
    using period = std::nano;
    using duration = std::chrono::duration<rep, period>;
    using time_point = std::chrono::time_point<clock>;
    static constexpr bool is_steady = false;

    /* Looks up YALTIME_NOW of the started component; false (and the clock
     * unchanged) if the lookup finds nothing. */
    static bool bind(VEK_LOOKUP_T lookup) noexcept
    {
        if (lookup == nullptr)
            return false;
        const YALTIME_NOW_T now_function = VEK_LOOKUP_IF(lookup, YALTIME_CMP_NAME, YALTIME_NOW);
        if (now_function == nullptr)
            return false;
        now_function_.store(now_function, std::memory_order_release);
        return true;
    }

    /* True once bind() has succeeded. */
    static bool bound() noexcept { return now_function_.load(std::memory_order_acquire) != &system_seconds; }

    static time_point now() noexcept
    {
        return from_seconds(now_function_.load(std::memory_order_acquire)());
    }

    /* Seconds since 1970 (YALTIME_SEC_T) as a time point: truncated toward
     * zero to whole nanoseconds, saturated outside the range, 0 for NaN. */
    static constexpr time_point from_seconds(YALTIME_SEC_T seconds) noexcept
    {
        return time_point(duration(seconds_to_ns(seconds)));
    }

    /* Whole seconds since 1970, rounded down, like system_clock's. */
    static std::time_t to_time_t(const time_point &t) noexcept
    {
        return static_cast<std::time_t>(std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count());
    }

    static time_point from_time_t(std::time_t t) noexcept
    {
        return time_point(std::chrono::duration_cast<duration>(std::chrono::seconds(t)));
    }

    /* The same instant on system_clock (same epoch); in C++20 these also
     * make std::chrono::clock_cast work between the two clocks. */
    template <typename Duration>
    static std::chrono::time_point<std::chrono::system_clock, std::common_type_t<Duration, std::chrono::seconds>>
    to_sys(const std::chrono::time_point<clock, Duration> &t) noexcept
    {
        using result = std::common_type_t<Duration, std::chrono::seconds>;
        return std::chrono::time_point<std::chrono::system_clock, result>(result(t.time_since_epoch()));
    }

    template <typename Duration>
    static std::chrono::time_point<clock, std::common_type_t<Duration, std::chrono::seconds>>
    from_sys(const std::chrono::time_point<std::chrono::system_clock, Duration> &t) noexcept
    {
        using result = std::common_type_t<Duration, std::chrono::seconds>;
        return std::chrono::time_point<clock, result>(result(t.time_since_epoch()));
    }

private:
    /* Whole seconds and the fraction apart: seconds * 1e9 in one double
     * would round today's times to 256 ns. */
    static constexpr rep seconds_to_ns(double seconds) noexcept
    {
        /* 2^63 nanoseconds, the end of the range. */
        constexpr double limit_ns = 9223372036854775808.0;
        if (!(seconds == seconds))
            return 0;
        if (seconds * 1e9 >= limit_ns)
            return std::numeric_limits<rep>::max();
        if (seconds * 1e9 < -limit_ns)
            return std::numeric_limits<rep>::min();
        const rep whole = static_cast<rep>(seconds);
        return whole * 1000000000 + static_cast<rep>((seconds - static_cast<double>(whole)) * 1e9);
    }

    static YALTIME_SEC_T system_seconds() noexcept
    {
        using namespace std::chrono;
        return duration_cast<std::chrono::duration<double>>(system_clock::now().time_since_epoch()).count();
    }

    static inline std::atomic<YALTIME_NOW_T> now_function_{&system_seconds};
};

} // namespace yaltime

#endif /* YALTIME_CLOCK_HPP */
