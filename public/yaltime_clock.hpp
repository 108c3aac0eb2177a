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
 *     of its entry points (the registration has no other effect), then takes
 *     yaltime_now_ns (yaltime_ns.h) from the same handle with dlsym.  The
 *     component is then held loaded as long as the object is;
 *   - bind(lookup) takes the entry points from a host's lookup, before the
 *     start or after it, and yaltime_now_ns from the library that defines
 *     the lookup's YALTIME_NOW (dladdr names its file, which it opens with
 *     RTLD_NOLOAD and holds loaded as long as the object is): the way for an
 *     object loaded before the component, such as a plug-in that declares
 *     its dependency on YALTIME (it calls bind from its VEK_CMP_LINK or
 *     VEK_CMP_START, where it links its other services) or a program that
 *     hosts the component.
 * A component without yaltime_now_ns, a library older than it, is no
 * candidate: bind returns false and the clock reads the OS clock.
 * From then on now() binds itself, with no further call, as soon as the
 * component says that it has started: YALTIME_CLOCK_RESOLUTION non-zero (the
 * start sets it first) and YALTIME_GET_TSC_PERIOD positive (a calibration is
 * in force).  Until then it reads the OS real-time clock.
 *
 * now() is async-signal-safe in every state, bound or not: it is atomic
 * loads, the component's reading functions (no lock, no allocation, no
 * system call on their normal path) and clock_gettime(CLOCK_REALTIME),
 * which POSIX lists as async-signal-safe.  It never calls the dynamic
 * loader, never walks the loaded objects and refers to nothing of the
 * component but its registration, its registered entry points and
 * yaltime_now_ns.  bound() is as cheap and safe; bind() is not meant for a
 * signal handler (it calls the host's lookup and the loader).  Binding may
 * happen in one thread while others call now().
 *
 * Its count is nanoseconds since 1970 in an int64_t, as system_clock's on
 * Linux (years 1678 to 2262): bound, now() is yaltime_now_ns(), YALTIME's
 * time at its calibration's full precision, and nothing else; unbound,
 * clock_gettime's.  to_sys is exact; a double of seconds is
 * std::chrono::duration<double>(t.time_since_epoch()).  The standard
 * library's timed waits take time_point::max():
 * condition_variable::wait_until(max()) waits until notified.  (libstdc++'s
 * wait_until subtracts now() from the deadline in this count, so a
 * deadline as far back as min() overflows it, as with any such clock but
 * system_clock; sleep_until(min()) returns at once.)
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
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <ratio>

#include "../interface/yaltime.interface.h"
#include "vek.h"
#include "yaltime_ns.h"

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

/* What the clock uses of the component: where it reads, and whether it has
 * started.  `now_ns` is stored last (release), so a reader that sees it
 * sees the other two. */
struct component_entries {
    std::atomic<YALTIME_CLOCK_RESOLUTION_T> resolution{nullptr};
    std::atomic<YALTIME_GET_TSC_PERIOD_T> period{nullptr};
    std::atomic<YALTIME_NOW_NS_T> now_ns{nullptr};
};

/* This object's binding (see the top of this file): the component once
 * known, and the function now() calls once it has started. */
YALTIME_CLOCK_PER_OBJECT component_entries candidate;
YALTIME_CLOCK_PER_OBJECT std::atomic<YALTIME_NOW_NS_T> bound_now_ns{nullptr};

YALTIME_CLOCK_HIDDEN inline void offer_candidate(YALTIME_CLOCK_RESOLUTION_T resolution,
                                                 YALTIME_GET_TSC_PERIOD_T period, YALTIME_NOW_NS_T now_ns) noexcept
{
    candidate.resolution.store(resolution, std::memory_order_relaxed);
    candidate.period.store(period, std::memory_order_relaxed);
    candidate.now_ns.store(now_ns, std::memory_order_release);
}

/* The candidate's yaltime_now_ns once its component has started, published
 * as the binding; null before.  Async-signal-safe: the two entry points
 * read the component's state without lock, allocation or system call. */
YALTIME_CLOCK_HIDDEN inline YALTIME_NOW_NS_T adopt_started_candidate() noexcept
{
    const YALTIME_NOW_NS_T now_ns = candidate.now_ns.load(std::memory_order_acquire);
    if (now_ns == nullptr || !(candidate.resolution.load(std::memory_order_relaxed)() > 0.0) ||
        !(candidate.period.load(std::memory_order_relaxed)() > 0.0))
        return nullptr;
    bound_now_ns.store(now_ns, std::memory_order_release);
    return now_ns;
}

/* The yaltime_now_ns of the object that defines `entry`, one of the
 * component's entry points, looked up through `library`, a handle that
 * reaches that object; null if the object has none (dlsym also searches
 * the handle's dependencies and the program's scope: what it finds there
 * is not the component's).  Not async-signal-safe: the loader's lock. */
YALTIME_CLOCK_HIDDEN inline YALTIME_NOW_NS_T now_ns_beside(void *library, YALTIME_NOW_T entry) noexcept
{
    void *const found = dlsym(library, "yaltime_now_ns");
    Dl_info entry_object, found_object;
    const bool same_object = found != nullptr && dladdr(reinterpret_cast<void *>(entry), &entry_object) != 0 &&
                             dladdr(found, &found_object) != 0 &&
                             entry_object.dli_fbase == found_object.dli_fbase;
    dlerror(); /* a failed look-up's message is nobody's business */
    return same_object ? reinterpret_cast<YALTIME_NOW_NS_T>(found) : nullptr;
}

/* A handle of the object that defines `entry`, which holds it loaded: the
 * file dladdr names, opened with RTLD_NOLOAD (nothing is ever loaded), or
 * the program's own handle for an entry point of the program (dladdr names
 * it by argv[0], which does not open).  Null if neither opens. */
YALTIME_CLOCK_HIDDEN inline void *open_defining_object(YALTIME_NOW_T entry) noexcept
{
    Dl_info object;
    void *library = nullptr;
    if (dladdr(reinterpret_cast<void *>(entry), &object) != 0 && object.dli_fname != nullptr)
        library = dlopen(object.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (library == nullptr)
        library = dlopen(nullptr, RTLD_LAZY);
    dlerror();
    return library;
}

/* The handle that bind() opened, let go when this object is unloaded.
 * Constant-initialised, so that a bind() from a static initialiser that
 * runs before this object's is not forgotten. */
struct YALTIME_CLOCK_HIDDEN bound_library_hold {
    std::atomic<void *> library{nullptr};
    ~bound_library_hold()
    {
        if (void *held = library.load())
            dlclose(held);
    }
};
YALTIME_CLOCK_PER_OBJECT bound_library_hold bind_hold;

/* Holds `library` in place of the one held so far.  The same object again
 * needs one hold only; another one stays loaded, since a reader may still
 * be calling it. */
YALTIME_CLOCK_HIDDEN inline void hold_bound_library(void *library) noexcept
{
    void *const previous = bind_hold.library.exchange(library);
    if (previous == library)
        dlclose(previous);
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
 * and yaltime_now_ns as the candidate.  Returns the library's handle, which
 * keeps it loaded, or null when it is not loaded (or has no
 * yaltime_now_ns).  Not async-signal-safe: it takes the dynamic loader's
 * lock; it runs when this object is loaded.
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
        const YALTIME_NOW_NS_T now_ns = caught.now != nullptr ? now_ns_beside(library, caught.now) : nullptr;
        if (caught.resolution != nullptr && caught.period != nullptr && now_ns != nullptr) {
            offer_candidate(caught.resolution, caught.period, now_ns);
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

} // namespace detail

class clock {
public:
    using rep = std::int64_t;
    using period = std::nano;
    using duration = std::chrono::duration<rep, period>;
    using time_point = std::chrono::time_point<clock>;
    static constexpr bool is_steady = false;

    /* Makes the component that `lookup` finds this object's candidate (see
     * the top of this file), bound at once if it has started and by now()
     * as soon as it has; true if found, false (the clock unchanged) if the
     * lookup lacks one of its entry points or its library yaltime_now_ns.
     * Not for a signal handler. */
    YALTIME_CLOCK_HIDDEN static bool bind(VEK_LOOKUP_T lookup) noexcept
    {
        if (lookup == nullptr)
            return false;
        const auto resolution = VEK_LOOKUP_IF(lookup, YALTIME_CMP_NAME, YALTIME_CLOCK_RESOLUTION);
        const auto period = VEK_LOOKUP_IF(lookup, YALTIME_CMP_NAME, YALTIME_GET_TSC_PERIOD);
        const auto now_function = VEK_LOOKUP_IF(lookup, YALTIME_CMP_NAME, YALTIME_NOW);
        if (resolution == nullptr || period == nullptr || now_function == nullptr)
            return false;
        void *const library = detail::open_defining_object(now_function);
        const YALTIME_NOW_NS_T now_ns = library != nullptr ? detail::now_ns_beside(library, now_function) : nullptr;
        if (now_ns == nullptr) {
            if (library != nullptr)
                dlclose(library);
            return false;
        }
        detail::hold_bound_library(library);
        detail::offer_candidate(resolution, period, now_ns);
        detail::adopt_started_candidate();
        return true;
    }

    /* True once now() reads the component: its candidate has started.
     * Async-signal-safe, and as cheap as an unbound now(). */
    YALTIME_CLOCK_HIDDEN static bool bound() noexcept
    {
        return detail::bound_now_ns.load(std::memory_order_acquire) != nullptr ||
               detail::adopt_started_candidate() != nullptr;
    }

    YALTIME_CLOCK_HIDDEN static time_point now() noexcept
    {
        const YALTIME_NOW_NS_T now_ns = detail::bound_now_ns.load(std::memory_order_acquire);
        return time_point(duration(now_ns != nullptr ? now_ns() : unbound_ns()));
    }

    /* Whole seconds since 1970, rounded down (before 1970 too); saturated
     * outside a 32-bit time_t (i386 without -D_TIME_BITS=64). */
    static std::time_t to_time_t(const time_point &t) noexcept
    {
        const auto s = std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count();
        if constexpr (sizeof(std::time_t) < sizeof(s)) {
            if (s > std::numeric_limits<std::time_t>::max())
                return std::numeric_limits<std::time_t>::max();
            if (s < std::numeric_limits<std::time_t>::min())
                return std::numeric_limits<std::time_t>::min();
        }
        return static_cast<std::time_t>(s);
    }

    static time_point from_time_t(std::time_t t) noexcept { return time_point(std::chrono::seconds(t)); }

    /* The same instant on system_clock (same epoch): nanoseconds on Linux,
     * so exact; rounded down to a coarser tick.  With from_sys, also what
     * std::chrono::clock_cast uses in C++20. */
    static std::chrono::system_clock::time_point to_sys(const time_point &t) noexcept
    {
        return std::chrono::system_clock::time_point(
            std::chrono::floor<std::chrono::system_clock::duration>(t.time_since_epoch()));
    }

    /* Rounded down to the nanosecond.  A floating-point count is refused:
     * converting it would be a double to an integer unchecked; floor it to
     * nanoseconds first. */
    template <typename Duration>
    static time_point from_sys(const std::chrono::time_point<std::chrono::system_clock, Duration> &t) noexcept
    {
        static_assert(!std::chrono::treat_as_floating_point<typename Duration::rep>::value,
                      "a floating-point time: floor it to integer nanoseconds first");
        return time_point(std::chrono::floor<duration>(t.time_since_epoch()));
    }

private:
    /* The OS real-time clock, 0 if it cannot be read (as YALTIME_NOW's own
     * fallback).  clock_gettime, unlike system_clock::now(), is on POSIX's
     * list of async-signal-safe functions. */
    YALTIME_CLOCK_HIDDEN static rep os_ns() noexcept
    {
        struct timespec ts;
        if (::clock_gettime(CLOCK_REALTIME, &ts) != 0)
            return 0;
        return static_cast<rep>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }

    /* Unbound: the component if it has started by now, else the OS clock. */
#if defined(__GNUC__)
    __attribute__((noinline, cold))
#endif
    YALTIME_CLOCK_HIDDEN static rep unbound_ns() noexcept
    {
        const YALTIME_NOW_NS_T now_ns = detail::adopt_started_candidate();
        return now_ns != nullptr ? now_ns() : os_ns();
    }
};

} // namespace yaltime

#endif /* YALTIME_CLOCK_HPP */
