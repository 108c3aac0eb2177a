/*
 * yaltime_clock.hpp - YALTIME's clock in the std::chrono form (C++17 and
 * later).
 *
 *     vek_host_start(err, sizeof err);               // or any host's start
 *     yaltime::clock::bind(vek_host_lookup);         // see "Binding" below
 *     yaltime::clock::time_point t = yaltime::clock::now();
 *     std::time_t s = yaltime::clock::to_time_t(t);
 *     std::chrono::system_clock::time_point sys = yaltime::clock::to_sys(t);
 *
 * yaltime::clock meets the standard's Clock requirements: rep, period,
 * duration, time_point, is_steady and now().  Its epoch is system_clock's,
 * 1970-01-01 00:00:00 UTC.  It is not steady: YALTIME follows the OS
 * real-time clock, steps included.
 *
 * Binding.  Every object that includes this header (the program, each
 * plug-in) has a binding of its own, kept in variables of hidden
 * visibility: nothing of it is a dynamic symbol, so a plug-in built with the
 * header, at any visibility, unloads with dlclose like any other.  (A binding
 * shared by all objects would be a default-visibility variable with vague
 * linkage, which GCC and Clang emit as an STB_GNU_UNIQUE symbol: the
 * dynamic linker then never unloads an object that defines one.)
 *
 * An object learns where the component is in one of two ways, both off the
 * reading path:
 *   - loaded after the component's library (lib-vek-yaltime.so or its debug
 *     build), it finds it when it is loaded: a static initialiser opens that
 *     name with RTLD_NOLOAD (nothing is ever loaded) and calls the
 *     component's exported registration with callbacks that only note three
 *     of its entry points (the registration has no other effect).  The
 *     component is then held loaded as long as the object is;
 *   - bind(lookup) takes them from a host's lookup, before the start or
 *     after it: the way for an object loaded before the component, such as a
 *     plug-in that declares its dependency on YALTIME (it calls bind from its
 *     VEK_CMP_LINK or VEK_CMP_START, where it links its other services) or
 *     a program that hosts the component.
 * From then on now() binds itself, with no further call, as soon as the
 * component says that it has started: YALTIME_CLOCK_RESOLUTION non-zero (the
 * start sets it first) and YALTIME_GET_TSC_PERIOD positive (a calibration is
 * in force).  Until then it reads the OS real-time clock.
 *
 * now() is async-signal-safe in every state, bound or not, and never slower
 * than about one clock_gettime: it is atomic loads, the component's reading
 * entry points (no lock, no allocation, no system call on their normal path)
 * and clock_gettime(CLOCK_REALTIME), which POSIX lists as async-signal-safe.
 * It never calls the dynamic loader, never walks the loaded objects and
 * refers to nothing of the component but its registration and its
 * registered entry points.  bound() is as cheap and safe; bind() is not
 * meant for a signal handler (it calls the host's lookup).  Binding may
 * happen in one thread while others call now().
 *
 * Its count is YALTIME's own: seconds in a double, as YALTIME_NOW returns
 * them (a resolution of about 0.24 us in this century), wrapped in
 * yaltime::clock_rep so that the standard library's timed waits can take
 * any of its time points.  clock_rep converts to and from double without a
 * cast and computes like one; converted to an integer (duration_cast,
 * floor) it saturates instead of overflowing, NaN giving 0; and its max()
 * and min() are 2^62 ns either side of the epoch (years 2116 and 1823), so
 * that condition_variable::wait_until(time_point::max()) or
 * this_thread::sleep_until(max()) waits "forever" with no overflow in the
 * library's arithmetic.  Bound, now() is the entry point's call and nothing
 * else: a conversion to integer nanoseconds would cost more than the
 * reading.  std::chrono::floor<nanoseconds>(t), duration_cast and the
 * conversions below give integer time points; to_sys and to_time_t
 * saturate a time outside their range.
 *
 * Compiles with and without exceptions and RTTI.
 */
#ifndef YALTIME_CLOCK_HPP
#define YALTIME_CLOCK_HPP

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "yaltime_clock.hpp needs C++17 or later; C programs use interface/yaltime.interface.h"
#endif

#include <dlfcn.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <ratio>
#include <type_traits>

#include "../interface/yaltime.interface.h"
#include "vek.h"

/* One per object that includes this header, and no dynamic symbol: the
 * binding's variables, and the functions that use them (which another
 * object's copy could otherwise stand in for). */
#if defined(__GNUC__)
#define YALTIME_CLOCK_HIDDEN __attribute__((visibility("hidden")))
#else
#define YALTIME_CLOCK_HIDDEN
#endif
#define YALTIME_CLOCK_PER_OBJECT YALTIME_CLOCK_HIDDEN inline

namespace yaltime {

namespace detail {

/* A whole-valued double into an integer type: NaN gives 0, values beyond
 * the type its ends. */
template <typename Integer>
constexpr Integer saturate(double whole) noexcept
{
    /* 2^(digits), the first value above the type's range, exact in a double. */
    const double limit = static_cast<double>(std::numeric_limits<Integer>::max() / 2 + 1) * 2.0;
    if (whole != whole)
        return 0;
    if (whole >= limit)
        return std::numeric_limits<Integer>::max();
    if (whole < -limit || (!std::numeric_limits<Integer>::is_signed && whole <= -1.0))
        return std::numeric_limits<Integer>::min();
    return static_cast<Integer>(whole);
}

/* The component's entry points that the clock uses: where it reads, and
 * whether it has started.  `now` is stored last (release), so a reader that
 * sees it sees the other two. */
struct component_entries {
    std::atomic<YALTIME_CLOCK_RESOLUTION_T> resolution{nullptr};
    std::atomic<YALTIME_GET_TSC_PERIOD_T> period{nullptr};
    std::atomic<YALTIME_NOW_T> now{nullptr};
};

/* This object's binding (see the top of this file): the component once
 * known, and the function now() calls once it has started. */
YALTIME_CLOCK_PER_OBJECT component_entries candidate;
YALTIME_CLOCK_PER_OBJECT std::atomic<YALTIME_NOW_T> bound_now{nullptr};

YALTIME_CLOCK_HIDDEN inline void offer_candidate(YALTIME_CLOCK_RESOLUTION_T resolution,
                                                 YALTIME_GET_TSC_PERIOD_T period, YALTIME_NOW_T now) noexcept
{
    candidate.resolution.store(resolution, std::memory_order_relaxed);
    candidate.period.store(period, std::memory_order_relaxed);
    candidate.now.store(now, std::memory_order_release);
}

/* The candidate's YALTIME_NOW once its component has started, published as
 * the binding; null before.  Async-signal-safe: the two entry points read
 * the component's state without lock, allocation or system call. */
YALTIME_CLOCK_HIDDEN inline YALTIME_NOW_T adopt_started_candidate() noexcept
{
    const YALTIME_NOW_T now = candidate.now.load(std::memory_order_acquire);
    if (now == nullptr || !(candidate.resolution.load(std::memory_order_relaxed)() > 0.0) ||
        !(candidate.period.load(std::memory_order_relaxed)() > 0.0))
        return nullptr;
    bound_now.store(now, std::memory_order_release);
    return now;
}

/* What the component's registration registers, noted by callbacks that
 * stand in for a host's.  Written only while this object's static
 * initialiser runs, which the dynamic loader runs once. */
struct registration_catch {
    YALTIME_CLOCK_RESOLUTION_T resolution = nullptr;
    YALTIME_GET_TSC_PERIOD_T period = nullptr;
    YALTIME_NOW_T now = nullptr;
};
YALTIME_CLOCK_PER_OBJECT registration_catch caught;

YALTIME_CLOCK_HIDDEN inline void catch_interface(VEK_PLUGIN_H, const char *name, void *function) noexcept
{
    if (name == nullptr)
        return;
    if (std::strcmp(name, "YALTIME_CLOCK_RESOLUTION") == 0)
        caught.resolution = reinterpret_cast<YALTIME_CLOCK_RESOLUTION_T>(function);
    else if (std::strcmp(name, "YALTIME_GET_TSC_PERIOD") == 0)
        caught.period = reinterpret_cast<YALTIME_GET_TSC_PERIOD_T>(function);
    else if (std::strcmp(name, "YALTIME_NOW") == 0)
        caught.now = reinterpret_cast<YALTIME_NOW_T>(function);
}

YALTIME_CLOCK_HIDDEN inline void ignore_dependency(VEK_PLUGIN_H, const char *) noexcept {}
YALTIME_CLOCK_HIDDEN inline void ignore_complete(VEK_PLUGIN_H) noexcept {}

YALTIME_CLOCK_HIDDEN inline VEK_PLUGIN_H catch_component(const char *component_name, VEK_REGISTER_INTERFACE_T *reg_if,
                                                         VEK_REGISTER_COMPLETE_T *reg_complete,
                                                         VEK_REGISTER_DEPENDENCY_T *reg_dep,
                                                         VEK_REGISTER_DEPENDENCY_T *reg_dep_noload, const char *) noexcept
{
    if (component_name == nullptr || std::strcmp(component_name, YALTIME_CMP_NAME) != 0)
        return nullptr;
    *reg_if = &catch_interface;
    *reg_complete = &ignore_complete;
    *reg_dep = *reg_dep_noload = &ignore_dependency;
    return reinterpret_cast<VEK_PLUGIN_H>(&caught); /* any non-null handle */
}

/*
 * Finds the component's library among the loaded objects by its names
 * (those the host gives component "YALTIME") and offers its entry points
 * as the candidate.  Returns the library's handle, which keeps it loaded,
 * or null when it is not loaded.  Not async-signal-safe: it takes the
 * dynamic loader's lock; it runs when this object is loaded.
 */
YALTIME_CLOCK_HIDDEN inline void *find_loaded_component() noexcept
{
    /* Not static: a function-local static would be a shared symbol too. */
    const char *const names[] = {OSDEF_PLUGIN_PREFIX "yaltime" OSDEF_PLUGIN_SUFFIX,
                                 OSDEF_PLUGIN_PREFIX "yaltime" OSDEF_PLUGIN_DEBUG_SUFFIX};
    for (const char *name : names) {
        void *library = dlopen(name, RTLD_LAZY | RTLD_NOLOAD);
        if (library == nullptr)
            continue;
        const auto registration =
            reinterpret_cast<VEK_COMPONENT_REGISTRATION_T>(dlsym(library, OSDEF_REGISTRATION_SYMBOL));
        caught = registration_catch{};
        if (registration != nullptr)
            registration(&catch_component, name);
        if (caught.resolution != nullptr && caught.period != nullptr && caught.now != nullptr) {
            offer_candidate(caught.resolution, caught.period, caught.now);
            return library;
        }
        dlclose(library);
    }
    dlerror(); /* the failed opens' messages are nobody's business */
    return nullptr;
}

/* Looks for the component when this object is loaded, and lets it go when
 * this object is unloaded. */
struct YALTIME_CLOCK_HIDDEN load_time_look {
    void *component_library = find_loaded_component();
    ~load_time_look()
    {
        if (component_library != nullptr)
            dlclose(component_library);
    }
};
YALTIME_CLOCK_PER_OBJECT load_time_look look_at_load;

template <typename T>
using if_arithmetic = std::enable_if_t<std::is_arithmetic_v<T>, int>;

} // namespace detail

class clock_rep;

namespace detail {

template <typename A, typename = void>
struct rep_common {};
template <typename A>
struct rep_common<A, std::enable_if_t<std::is_arithmetic_v<A>>> {
    using type = clock_rep;
};

} // namespace detail

/* Seconds in a double; see the top of this file. */
class clock_rep {
public:
    constexpr clock_rep() noexcept = default;
    constexpr clock_rep(double seconds) noexcept : seconds_(seconds) {}
    constexpr operator double() const noexcept { return seconds_; }
    /* Truncated toward zero, saturated, NaN 0: what duration_cast uses. */
    template <typename Integer,
              std::enable_if_t<std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>, int> = 0>
    explicit operator Integer() const noexcept
    {
        return detail::saturate<Integer>(std::trunc(seconds_));
    }

    constexpr clock_rep &operator+=(clock_rep r) noexcept { return seconds_ += r.seconds_, *this; }
    constexpr clock_rep &operator-=(clock_rep r) noexcept { return seconds_ -= r.seconds_, *this; }
    constexpr clock_rep &operator*=(clock_rep r) noexcept { return seconds_ *= r.seconds_, *this; }
    constexpr clock_rep &operator/=(clock_rep r) noexcept { return seconds_ /= r.seconds_, *this; }
    constexpr clock_rep operator-() const noexcept { return clock_rep(-seconds_); }
    constexpr clock_rep operator+() const noexcept { return *this; }

    /* With each other, and with any arithmetic value on either side (an
     * exact match, so never ambiguous with the built-in operators). */
#define YALTIME_CLOCK_REP_OPERATOR(OP, RESULT)                                                                       \
    friend constexpr RESULT operator OP(clock_rep a, clock_rep b) noexcept { return RESULT(a.seconds_ OP b.seconds_); } \
    template <typename A, detail::if_arithmetic<A> = 0>                                                              \
    friend constexpr RESULT operator OP(clock_rep a, A b) noexcept                                                   \
    {                                                                                                                \
        return RESULT(a.seconds_ OP static_cast<double>(b));                                                         \
    }                                                                                                                \
    template <typename A, detail::if_arithmetic<A> = 0>                                                              \
    friend constexpr RESULT operator OP(A a, clock_rep b) noexcept                                                   \
    {                                                                                                                \
        return RESULT(static_cast<double>(a) OP b.seconds_);                                                         \
    }
    YALTIME_CLOCK_REP_OPERATOR(+, clock_rep)
    YALTIME_CLOCK_REP_OPERATOR(-, clock_rep)
    YALTIME_CLOCK_REP_OPERATOR(*, clock_rep)
    YALTIME_CLOCK_REP_OPERATOR(/, clock_rep)
    YALTIME_CLOCK_REP_OPERATOR(==, bool)
    YALTIME_CLOCK_REP_OPERATOR(!=, bool)
    YALTIME_CLOCK_REP_OPERATOR(<, bool)
    YALTIME_CLOCK_REP_OPERATOR(<=, bool)
    YALTIME_CLOCK_REP_OPERATOR(>, bool)
    YALTIME_CLOCK_REP_OPERATOR(>=, bool)
#undef YALTIME_CLOCK_REP_OPERATOR

private:
    double seconds_ = 0.0;
};

} // namespace yaltime

/* What the standard lets a program say about a type of its own. */
namespace std {
namespace chrono {

template <>
struct treat_as_floating_point<yaltime::clock_rep> : true_type {};

template <>
struct duration_values<yaltime::clock_rep> {
    /* 2^62 ns: now plus the distance to it still fits a 64-bit count of
     * nanoseconds, which is what the timed waits convert it to. */
    static constexpr yaltime::clock_rep zero() noexcept { return 0.0; }
    static constexpr yaltime::clock_rep max() noexcept { return 4611686018.427387904; }
    static constexpr yaltime::clock_rep min() noexcept { return -4611686018.427387904; }
};

} // namespace chrono

/* With an arithmetic type, a clock_rep; with anything else, nothing. */
template <typename A>
struct common_type<yaltime::clock_rep, A> : yaltime::detail::rep_common<A> {};
template <typename A>
struct common_type<A, yaltime::clock_rep> : yaltime::detail::rep_common<A> {};
template <>
struct common_type<yaltime::clock_rep, yaltime::clock_rep> {
    using type = yaltime::clock_rep;
};

} // namespace std

namespace yaltime {

class clock {
public:
    using rep = clock_rep;
    using period = std::ratio<1>;
    using duration = std::chrono::duration<rep, period>;
    using time_point = std::chrono::time_point<clock>;
    static constexpr bool is_steady = false;

    /* Makes the component that `lookup` finds this object's candidate (see
     * the top of this file), bound at once if it has started and by now()
     * as soon as it has; true if found, false (the clock unchanged) if the
     * lookup lacks one of its entry points.  Not for a signal handler. */
    YALTIME_CLOCK_HIDDEN static bool bind(VEK_LOOKUP_T lookup) noexcept
    {
        if (lookup == nullptr)
            return false;
        const auto resolution = VEK_LOOKUP_IF(lookup, YALTIME_CMP_NAME, YALTIME_CLOCK_RESOLUTION);
        const auto period = VEK_LOOKUP_IF(lookup, YALTIME_CMP_NAME, YALTIME_GET_TSC_PERIOD);
        const auto now_function = VEK_LOOKUP_IF(lookup, YALTIME_CMP_NAME, YALTIME_NOW);
        if (resolution == nullptr || period == nullptr || now_function == nullptr)
            return false;
        detail::offer_candidate(resolution, period, now_function);
        detail::adopt_started_candidate();
        return true;
    }

    /* True once now() reads the component: its candidate has started.
     * Async-signal-safe, and as cheap as an unbound now(). */
    YALTIME_CLOCK_HIDDEN static bool bound() noexcept
    {
        return detail::bound_now.load(std::memory_order_acquire) != nullptr ||
               detail::adopt_started_candidate() != nullptr;
    }

    YALTIME_CLOCK_HIDDEN static time_point now() noexcept
    {
        const YALTIME_NOW_T now_function = detail::bound_now.load(std::memory_order_acquire);
        return time_point(duration(now_function != nullptr ? now_function() : unbound_seconds()));
    }

    /* Whole seconds since 1970, rounded down; saturated outside time_t, 0 for NaN. */
    static std::time_t to_time_t(const time_point &t) noexcept
    {
        return detail::saturate<std::time_t>(std::floor(seconds_of(t)));
    }

    static time_point from_time_t(std::time_t t) noexcept { return time_point(duration(static_cast<double>(t))); }

    /* The same instant on system_clock (same epoch), truncated toward zero to
     * its tick, saturated outside its range, the epoch for NaN.  With
     * from_sys, also what std::chrono::clock_cast uses in C++20. */
    static std::chrono::system_clock::time_point to_sys(const time_point &t) noexcept
    {
        using sys_duration = std::chrono::system_clock::duration;
        using sys_rep = sys_duration::rep;
        static_assert(sys_duration::period::num == 1, "system_clock ticks a fraction of a second");
        constexpr sys_rep ticks_per_second = sys_duration::period::den;
        const double seconds = seconds_of(t);
        const double ticks = seconds * static_cast<double>(ticks_per_second);
        if (std::isnan(seconds) || !(ticks > -std::ldexp(1.0, 63) && ticks < std::ldexp(1.0, 63)))
            return std::chrono::system_clock::time_point(sys_duration(detail::saturate<sys_rep>(ticks)));
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
    static double seconds_of(const time_point &t) noexcept { return t.time_since_epoch().count(); }

    /* The OS real-time clock, 0 if it cannot be read (as YALTIME_NOW's own
     * fallback).  clock_gettime, unlike system_clock::now(), is on POSIX's
     * list of async-signal-safe functions. */
    YALTIME_CLOCK_HIDDEN static YALTIME_SEC_T os_seconds() noexcept
    {
        struct timespec ts;
        if (::clock_gettime(CLOCK_REALTIME, &ts) != 0)
            return 0.0;
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }

    /* Unbound: the component if it has started by now, else the OS clock. */
#if defined(__GNUC__)
    __attribute__((noinline, cold))
#endif
    YALTIME_CLOCK_HIDDEN static YALTIME_SEC_T unbound_seconds() noexcept
    {
        const YALTIME_NOW_T now_function = detail::adopt_started_candidate();
        return now_function != nullptr ? now_function() : os_seconds();
    }
};

} // namespace yaltime

#endif /* YALTIME_CLOCK_HPP */
