/*
 * yaltime_clock.hpp - YALTIME's clock in the std::chrono form (C++17 and
 * later).
 *
 *     vek_host_start(err, sizeof err);               // or any host's start
 *     yaltime::clock::time_point t = yaltime::clock::now();
 *     std::time_t s = yaltime::clock::to_time_t(t);
 *     std::chrono::system_clock::time_point sys = yaltime::clock::to_sys(t);
 *
 * yaltime::clock meets the standard's Clock requirements: rep, period,
 * duration, time_point, is_steady and now().  Its epoch is system_clock's,
 * 1970-01-01 00:00:00 UTC.  It is not steady: YALTIME follows the OS
 * real-time clock, steps included.
 *
 * One binding for the process, made without a call.  Until the clock is
 * bound, now() reads std::chrono::system_clock (so that a clock used before
 * the component started still tells the time) and looks, at most once a
 * second, through the loaded objects for lib-vek-yaltime.so (or its debug
 * build) started by whatever host loaded it: found, it asks the component's
 * registration for YALTIME_NOW (the registration has no effect in the
 * component; nothing is ever loaded) and binds every library of the process
 * to it.  bind(lookup), optional, binds at once through a host's lookup
 * (a component under another file name is reached only so, and a program
 * that exports nothing reaches through it only the libraries loaded by
 * then).  bound(), which looks at every call while unbound, says in every
 * library whether a started component or a bind() has bound it.  The binding has default visibility and vague linkage, which GCC and
 * Clang give as one STB_GNU_UNIQUE symbol that the dynamic linker shares
 * across every shared object, whether built with hidden visibility,
 * -fvisibility-inlines-hidden or neither, and loaded with RTLD_LOCAL or not;
 * a program that does not export its symbols keeps a copy of its own, which
 * takes up the shared objects' binding in the same look.  Binding may happen
 * in one thread while others call now().
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
 * library's arithmetic.  now() is then the entry point's call and nothing
 * else: a conversion to integer nanoseconds would cost more than the
 * reading.  std::chrono::floor<nanoseconds>(t), duration_cast and the
 * conversions below give integer time points; to_sys and to_time_t
 * saturate a time outside their range.
 */
#ifndef YALTIME_CLOCK_HPP
#define YALTIME_CLOCK_HPP

#if !defined(__cplusplus) || __cplusplus < 201703L
#error "yaltime_clock.hpp needs C++17 or later; C programs use interface/yaltime.interface.h"
#endif

#include <dlfcn.h>
#include <link.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <ratio>
#include <string>
#include <type_traits>
#include <vector>

#include "../interface/yaltime.interface.h"
#include "vek.h"

#if defined(__GNUC__)
#define YALTIME_CLOCK_PROCESS_WIDE __attribute__((visibility("default")))
#else
#define YALTIME_CLOCK_PROCESS_WIDE
#endif

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

/* The process's one binding (see the top of this file). */
struct YALTIME_CLOCK_PROCESS_WIDE clock_binding {
    static inline std::atomic<YALTIME_NOW_T> now_function{nullptr};
};

/* clock_binding::now_function in the objects' dynamic symbols. */
inline constexpr const char BINDING_SYMBOL[] = "_ZN7yaltime6detail13clock_binding12now_functionE";

/* The file names of the loaded objects (none if they cannot be listed).
 * Collected first: dlopen may not be called from the iteration. */
inline std::vector<std::string> loaded_objects() noexcept
{
    std::vector<std::string> names;
    try {
        dl_iterate_phdr(
            [](dl_phdr_info *info, std::size_t, void *out) {
                if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0')
                    static_cast<std::vector<std::string> *>(out)->push_back(info->dlpi_name);
                return 0;
            },
            &names);
    } catch (...) {
        names.clear();
    }
    return names;
}

/* The binding that the loaded shared objects export, when it is not this
 * copy: a program linked without exporting its symbols keeps a copy of its
 * own, which it reaches this way; null if no object exports one. */
inline std::atomic<YALTIME_NOW_T> *shared_objects_binding(const std::vector<std::string> &names) noexcept
{
    /* Every shared object's copy is the one STB_GNU_UNIQUE symbol: the first found is it. */
    for (const std::string &name : names) {
        void *object = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (object == nullptr)
            continue;
        void *symbol = dlsym(object, BINDING_SYMBOL);
        dlclose(object);
        if (symbol != nullptr && symbol != &clock_binding::now_function)
            return static_cast<std::atomic<YALTIME_NOW_T> *>(symbol);
    }
    return nullptr;
}

/* What the component's registration registers as YALTIME_NOW, caught by
 * callbacks that stand in for a host's (this thread's registration only). */
inline thread_local YALTIME_NOW_T registered_now = nullptr;

inline VEK_PLUGIN_H catch_registration(const char *component_name, VEK_REGISTER_INTERFACE_T *reg_if,
                                       VEK_REGISTER_COMPLETE_T *reg_complete, VEK_REGISTER_DEPENDENCY_T *reg_dep,
                                       VEK_REGISTER_DEPENDENCY_T *reg_dep_noload, const char *) noexcept
{
    static char handle; /* any non-null handle: nothing is kept for it */
    if (component_name == nullptr || std::strcmp(component_name, YALTIME_CMP_NAME) != 0)
        return nullptr;
    *reg_if = [](VEK_PLUGIN_H, const char *interface_name, void *function) {
        if (interface_name != nullptr && std::strcmp(interface_name, "YALTIME_NOW") == 0)
            registered_now = reinterpret_cast<YALTIME_NOW_T>(function);
    };
    *reg_complete = [](VEK_PLUGIN_H) {};
    *reg_dep = *reg_dep_noload = [](VEK_PLUGIN_H, const char *) {};
    return reinterpret_cast<VEK_PLUGIN_H>(&handle);
}

/* YALTIME_NOW of a component library among the loaded objects whose start
 * has calibrated it (its tsci2_poll_factor is never 0 after), asked of its
 * registration, which only calls the callbacks; null if there is none.
 * Nothing is loaded: the library stays loaded as its host never unloads a
 * started component. */
inline YALTIME_NOW_T started_component_now(const std::vector<std::string> &names) noexcept
{
    for (const std::string &name : names) {
        /* The host's file names for component "YALTIME" (its name in lower case). */
        const char *slash = std::strrchr(name.c_str(), '/');
        const char *base = slash != nullptr ? slash + 1 : name.c_str();
        if (std::strcmp(base, OSDEF_PLUGIN_PREFIX "yaltime" OSDEF_PLUGIN_SUFFIX) != 0 &&
            std::strcmp(base, OSDEF_PLUGIN_PREFIX "yaltime" OSDEF_PLUGIN_DEBUG_SUFFIX) != 0)
            continue;
        void *object = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (object == nullptr)
            continue;
        const auto *poll_factor = static_cast<const unsigned int *>(dlsym(object, "tsci2_poll_factor"));
        const auto registration =
            reinterpret_cast<VEK_COMPONENT_REGISTRATION_T>(dlsym(object, OSDEF_REGISTRATION_SYMBOL));
        registered_now = nullptr;
        if (poll_factor != nullptr && registration != nullptr && __atomic_load_n(poll_factor, __ATOMIC_ACQUIRE) != 0)
            registration(&catch_registration, name.c_str());
        const YALTIME_NOW_T now_function = registered_now;
        dlclose(object);
        if (now_function != nullptr)
            return now_function;
    }
    return nullptr;
}

/* Binds this copy and the shared objects' binding (when another) to now_function. */
inline void publish_binding(YALTIME_NOW_T now_function, std::atomic<YALTIME_NOW_T> *shared) noexcept
{
    clock_binding::now_function.store(now_function, std::memory_order_release);
    if (shared != nullptr)
        shared->store(now_function, std::memory_order_release);
}

/* This copy's function; or the shared objects' once bound there; or,
 * when nobody has bound, a started component's, bound for the whole
 * process as bind() does.  Null while none of these exists. */
inline YALTIME_NOW_T adopt_binding() noexcept
{
    YALTIME_NOW_T now_function = clock_binding::now_function.load(std::memory_order_acquire);
    if (now_function != nullptr)
        return now_function;
    const std::vector<std::string> names = loaded_objects();
    std::atomic<YALTIME_NOW_T> *shared = shared_objects_binding(names);
    now_function = shared != nullptr ? shared->load(std::memory_order_acquire) : nullptr;
    if (now_function == nullptr)
        now_function = started_component_now(names);
    if (now_function != nullptr)
        publish_binding(now_function, shared);
    return now_function;
}

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

    /* Optional (see the top of this file): looks up YALTIME_NOW of the
     * started component and binds the clock of every library in the process
     * to it at once; false (and the clock unchanged) if the lookup finds
     * nothing. */
    static bool bind(VEK_LOOKUP_T lookup) noexcept
    {
        if (lookup == nullptr)
            return false;
        const YALTIME_NOW_T now_function = VEK_LOOKUP_IF(lookup, YALTIME_CMP_NAME, YALTIME_NOW);
        if (now_function == nullptr)
            return false;
        detail::publish_binding(now_function, detail::shared_objects_binding(detail::loaded_objects()));
        return true;
    }

    /* True once the component has started or a bind() has succeeded
     * anywhere in the process.  Not for a hot path: until then each call
     * looks through the loaded objects. */
    static bool bound() noexcept { return detail::adopt_binding() != nullptr; }

    static time_point now() noexcept
    {
        const YALTIME_NOW_T now_function = detail::clock_binding::now_function.load(std::memory_order_acquire);
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

    static YALTIME_SEC_T system_seconds() noexcept
    {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    }

    /* Unbound here: the system clock, after a look (at most once a second)
     * for a binding made in the shared objects or a started component. */
#if defined(__GNUC__)
    __attribute__((noinline, cold))
#endif
    static YALTIME_SEC_T unbound_seconds() noexcept
    {
        static std::atomic<std::int64_t> next_look_s{0};
        const YALTIME_SEC_T system_s = system_seconds();
        const auto whole_s = static_cast<std::int64_t>(system_s);
        std::int64_t next = next_look_s.load(std::memory_order_relaxed);
        if (whole_s < next || !next_look_s.compare_exchange_strong(next, whole_s + 1, std::memory_order_relaxed))
            return system_s;
        const YALTIME_NOW_T now_function = detail::adopt_binding();
        return now_function != nullptr ? now_function() : system_s;
    }
};

} // namespace yaltime

#endif /* YALTIME_CLOCK_HPP */
