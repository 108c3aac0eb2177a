/*
 * yaltime_clock.hpp - YALTIME's clock in the std::chrono form (C++17 and
 * later).
 *
 *     vek_host_start(err, sizeof err);
 *     yaltime::clock::bind(vek_host_lookup);        // once, after start
 *     yaltime::clock::time_point t = yaltime::clock::now();
 *     std::time_t s = yaltime::clock::to_time_t(t);
 *     std::chrono::system_clock::time_point sys = yaltime::clock::to_sys(t);
 *
 * yaltime::clock meets the standard's Clock requirements: rep, period,
 * duration, time_point, is_steady and now().  Its epoch is system_clock's,
 * 1970-01-01 00:00:00 UTC.  It is not steady: YALTIME follows the OS
 * real-time clock, steps included.
 *
 * Its duration is YALTIME's own: seconds in a double, as YALTIME_NOW returns
 * them (a resolution of about 0.24 us in this century).  now() is then the
 * entry point's call and nothing else: a conversion to integer nanoseconds
 * would cost more than the reading.  std::chrono::floor<nanoseconds>(t),
 * duration_cast and the conversions below give integer time points; to_sys
 * and to_time_t saturate a time outside their range instead of overflowing.
 *
 * now() calls the component's YALTIME_NOW through the pointer bind() looked
 * up once: no lookup and no system call.  Until bind() has succeeded it
 * reads std::chrono::system_clock instead, so that a clock used before its
 * component started still tells the time.  bind() may be called from one
 * thread while others call now().
 */
#ifndef YALTIME_CLOCK_HPP
#define YALTIME_CLOCK_HPP

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "yaltime_clock.hpp needs C++17 or later; C programs use interface/yaltime.interface.h"
#endif

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <limits>
#include <ratio>

#include "../interface/yaltime.interface.h"
#include "vek.h"

namespace yaltime {

class clock {
public:
    using rep = YALTIME_SEC_T;
    using period = std::ratio<1>;
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

    static time_point now() noexcept { return time_point(duration(now_function_.load(std::memory_order_acquire)())); }

    /* Whole seconds since 1970, rounded down; saturated outside time_t, 0 for NaN. */
    static std::time_t to_time_t(const time_point &t) noexcept
    {
        return saturate<std::time_t>(std::floor(t.time_since_epoch().count()));
    }

    static time_point from_time_t(std::time_t t) noexcept { return time_point(duration(static_cast<rep>(t))); }

    /* The same instant on system_clock (same epoch), truncated toward zero to
     * its tick, saturated outside its range, the epoch for NaN.  With
     * from_sys, also what std::chrono::clock_cast uses in C++20. */
    static std::chrono::system_clock::time_point to_sys(const time_point &t) noexcept
    {
        using sys_duration = std::chrono::system_clock::duration;
        using sys_rep = sys_duration::rep;
        static_assert(sys_duration::period::num == 1, "system_clock ticks a fraction of a second");
        constexpr sys_rep ticks_per_second = sys_duration::period::den;
        const double seconds = t.time_since_epoch().count();
        const double ticks = seconds * static_cast<double>(ticks_per_second);
        if (std::isnan(seconds) || !(ticks > -std::ldexp(1.0, 63) && ticks < std::ldexp(1.0, 63)))
            return std::chrono::system_clock::time_point(sys_duration(saturate<sys_rep>(ticks)));
        /* Whole seconds and the fraction apart: the product in one double
         * would round today's times to 256 ns. */
        const auto whole = static_cast<sys_rep>(seconds);
        const double fraction = seconds - static_cast<double>(whole);
        return std::chrono::system_clock::time_point(sys_duration(
            whole * ticks_per_second + static_cast<sys_rep>(fraction * static_cast<double>(ticks_per_second))));
    }

    template <typename Duration>
    static time_point from_sys(const std::chrono::time_point<std::chrono::system_clock, Duration> &t) noexcept
    {
        return time_point(std::chrono::duration_cast<duration>(t.time_since_epoch()));
    }

private:
    /* A whole-valued double into an integer type: NaN gives 0, values beyond
     * the type its ends. */
    template <typename Integer>
    static Integer saturate(double whole) noexcept
    {
        /* 2^(digits), the first value above the type's range, exact in a double. */
        const double limit = std::ldexp(1.0, std::numeric_limits<Integer>::digits);
        if (std::isnan(whole))
            return 0;
        if (whole >= limit)
            return std::numeric_limits<Integer>::max();
        if (whole < -limit)
            return std::numeric_limits<Integer>::min();
        return static_cast<Integer>(whole);
    }

    static YALTIME_SEC_T system_seconds() noexcept
    {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    }

    static inline std::atomic<YALTIME_NOW_T> now_function_{&system_seconds};
};

} // namespace yaltime

#endif /* YALTIME_CLOCK_HPP */
