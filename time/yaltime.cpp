/*
 * yaltime.cpp - the component's door to the host: the base-service slots and
 * their link routine, the registration of the entry points, and start-up,
 * which chooses the context this process disciplines, calibrates it (the
 * shared area through the owner's start, owner_takeover.h), settles
 * the TSC period and rate, and starts the discipline thread "TSCtime"
 * (again in a fork child: fork_safety.h).
 */
#include <atomic>

#include "interface/vek_base.interface.h"
#include "interface/yaltime.interface.h"
#include "time/active_calibration.h"
#include "time/area_watch.h"
#include "time/fork_safety.h"
#include "time/os_time.h"
#include "time/owner_takeover.h"
#include "time/tsci2_loopfilter.h"
#include "time/yaltime.vek.h"
#include "time/yaltime_entry.h"

/* The base-service slots, exported data, null until VEK_CMP_LINK. */
OSDEF_BEGIN_C
#define DEFINE_SLOT(WORD, word) OSDEF_EXPORT VEK_BASE_##WORD##_T vek_base_##word = nullptr;
VEK_BASE_SERVICES(DEFINE_SLOT)
#undef DEFINE_SLOT
OSDEF_END_C

extern "C" void vek_base_vek_link(VEK_LOOKUP_T vek_lookup, const char *name)
{
#define LINK_SLOT(WORD, word) vek_base_##word = (VEK_BASE_##WORD##_T)vek_lookup(name, "VEK_BASE_" #WORD);
    VEK_BASE_SERVICES(LINK_SLOT)
#undef LINK_SLOT
}

extern "C" int func_VEK_CMP_LINK(VEK_LOOKUP_T vek_lookup)
{
    vek_base_vek_link(vek_lookup, VEK_BASE_CMP_NAME);
    return 1;
}

extern "C" VEK_PLUGIN_H vek_component_registration(VEK_REGISTER_COMPONENT_T vek_register_cmp,
                                                   const char *so_library_filename)
{
    VEK_REGISTER_INTERFACE_T _reg_if = nullptr;
    VEK_REGISTER_COMPLETE_T _reg_complete = nullptr;
    VEK_REGISTER_DEPENDENCY_T _reg_dep = nullptr;
    VEK_REGISTER_DEPENDENCY_T _reg_dep_noload = nullptr;

    VEK_PLUGIN_H _reg = vek_register_cmp(YALTIME_CMP_NAME, &_reg_if, &_reg_complete, &_reg_dep,
                                         &_reg_dep_noload, so_library_filename);
    if (_reg == nullptr)
        return nullptr;

    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_CLOCK_RESOLUTION);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_FRAME_END);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_FRAME_START);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_GET_CALIBRATION);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_GET_CLOCK_ERROR);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_GET_CURRENT_USEC);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_GET_STEP_COUNT);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_GET_TSC_FREQUENCY);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_GET_TSC_PERIOD);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_GET_UPDATE_COUNT);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_GETTIME);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_NOW);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_NOW_FRAME);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_NOW_NTP);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_SECS_TO_TSC);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_SLEEP_JITTER);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_SLEEP_UNTIL);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_SNPRINTF_TIME);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_SNPRINTF_TIME_NTP);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_START);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_TSC_TO_NOW);
    VEK_REGISTER_IF(_reg_if, _reg, YALTIME_TSC_TO_SECS);
    VEK_REGISTER_IF(_reg_if, _reg, VEK_CMP_LINK);
    VEK_REGISTER_IF(_reg_if, _reg, VEK_CMP_START);

    _reg_dep(_reg, VEK_BASE_CMP_NAME);
    _reg_complete(_reg);
    return _reg;
}

/* The context this process disciplines, from its start-up arguments. */
static calibration_context_t *choose_disciplined_context()
{
    char local_arg[] = "yaltime_local";
    char master_arg[] = "yaltime_master";
    if (vek_base_get_arg(local_arg) != nullptr) {
        Calibration_local_only.store(true, std::memory_order_relaxed);
        return &Thread_calibration;
    }
    if (vek_base_get_arg(master_arg) == nullptr)
        return &Thread_calibration;

    char area_name[] = YALTIME_SHARED_AREA_NAME;
    void *area = vek_base_mmap_rw(area_name, CALIBRATION_CONTEXT_SIZE);
    if (area == nullptr) {
        vek_base_fail("YALTIME: Unable to create yal_time_master shared memory area");
        return nullptr;
    }
    auto *context = static_cast<calibration_context_t *>(area);
    Master_calibration.store(context, std::memory_order_release);
    Calibration_using.store(CALIBRATION_OWNER, std::memory_order_relaxed);
    return context;
}

/*
 * Fallback when the initial calibration gave no positive period: one second
 * of TSC against the OS clock, each end stamped at the middle of its bracket.
 */
static double measure_tsc_period()
{
    const YALTIME_TSC_T t0 = rdtsc();
    const double s0 = os_gettime();
    const YALTIME_TSC_T t1 = rdtsc();
    vek_base_sleep((s0 + 1.0) - os_gettime());
    const YALTIME_TSC_T t2 = rdtsc();
    const double s1 = os_gettime();
    const YALTIME_TSC_T t3 = rdtsc();
    const YALTIME_TSC_T ticks = (t3 + (t3 - t2) / 2) - (t1 + (t1 - t0) / 2);
    return (s1 - s0) / static_cast<double>(ticks);
}

static void settle_tsc_period(calibration_context_t *context)
{
    double period = calib_period(context);
    TSC_period.store(period, std::memory_order_relaxed);
    if (period > 0) {
        set_tsc_rate(yaltime_double_to_u64(1.0 / period));
        return;
    }
    period = measure_tsc_period();
    TSC_period.store(period, std::memory_order_relaxed);
    set_tsc_rate(yaltime_double_to_u64(1.0 / period));
    vek_base_syslog_error("TSC calibration failure defaulting frequency = %f GHz", 1e-9 / period);
}

/* The initial calibration: in place for the process's own context, through
 * the owner's start for the shared area, which other processes may be
 * reading.  A reader then looks for the area once, here on the host's thread;
 * later looks are the discipline thread's. */
static void calibrate_initially(calibration_context_t *context)
{
    if (Calibration_using.load(std::memory_order_relaxed) == CALIBRATION_OWNER) {
        owner_start(context);
        return;
    }
    tsci2_loopfilter_init(context);
    area_watch_start();
}

extern "C" void func_VEK_CMP_START(VEK_LOOKUP_T)
{
    calibration_context_t *context = choose_disciplined_context();
    if (context == nullptr)
        return; /* the host's fail returned: nothing to discipline */
    clock_resolution.store(get_clock_resolution(), std::memory_order_relaxed);
    calibrate_initially(context);
    settle_tsc_period(context);
    fork_safety::start_discipline_thread(tsci2_loopfilter_thread, context);
    fork_safety::watch_forks();
}
