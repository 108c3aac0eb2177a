/*
 * clock_reading.cpp - the current time in seconds, milliseconds and
 * microseconds, the time of a TSC value, and the clock error against the OS.
 *
 * The normal path is one TSC read, the choice of the calibration in force and
 * one multiply-add: no system call, no lock, no allocation, no shared store.
 * A reading whose calibrated time is not positive (no record in force yet, a
 * record that puts it before 1970) returns the OS time instead and is
 * counted; at most once per second of TSC ticks, never the first time, it
 * leaves a message in a lock-free slot, which the discipline thread says at
 * its next cycle: the reading thread itself never logs.
 */
#include "time/clock_reading.h"

#include "interface/vek_base.interface.h"
#include "public/yaltime_ns.h"
#include "time/os_time.h"
#include "time/yaltime_entry.h"

std::atomic<uint32_t> time_fail_count{0};
std::atomic<YALTIME_TSC_T> errmsg_timeout{0};
fail_message_slot fail_message;

static_assert(std::atomic<uint32_t>::is_always_lock_free && std::atomic<double>::is_always_lock_free,
              "the failure path takes no lock");

/*
 * Leaves a message for say_fail_message: one CAS and three stores.  The CAS
 * (acquire) takes the slot from the last writer's release, so the values of
 * successive messages are ordered as their `seq`.  A reading thread that
 * meets another one writing drops its own message, as if overwritten by it.
 */
static void leave_fail_message(uint32_t earlier_failures, double result)
{
    uint32_t seq = fail_message.seq.load(std::memory_order_relaxed);
    if ((seq & 1u) != 0 || !fail_message.seq.compare_exchange_strong(seq, seq + 1, std::memory_order_acquire,
                                                                     std::memory_order_relaxed))
        return;
    fail_message.earlier_failures.store(earlier_failures, std::memory_order_release);
    fail_message.result.store(result, std::memory_order_release);
    fail_message.seq.store(seq + 2, std::memory_order_release);
}

/*
 * The values are those of message `seq` if `seq` is even and unchanged after
 * they were read: a writer whose values were read had made `seq` odd first,
 * and its acquire-release pairs with these loads make that visible to the
 * second load.  Otherwise the message is said at the next call.
 */
void say_fail_message()
{
    const uint32_t seq = fail_message.seq.load(std::memory_order_acquire);
    uint32_t said = fail_message.said_seq.load(std::memory_order_relaxed);
    if ((seq & 1u) != 0 || seq == said)
        return;
    const uint32_t earlier_failures = fail_message.earlier_failures.load(std::memory_order_acquire);
    const double result = fail_message.result.load(std::memory_order_acquire);
    if (fail_message.seq.load(std::memory_order_relaxed) != seq ||
        !fail_message.said_seq.compare_exchange_strong(said, seq, std::memory_order_relaxed))
        return;
    vek_base_syslog_error("%s: TSC time calibration fail count %d  result=%f", YALTIME_CMP_NAME,
                          static_cast<int>(earlier_failures), result);
}

static void count_failure(YALTIME_SEC_T now)
{
    const YALTIME_TSC_T tsc_now = rdtsc();
    if (tsc_now > errmsg_timeout.load(std::memory_order_relaxed)) {
        errmsg_timeout.store(tsc_now + TSC_rate.load(std::memory_order_relaxed), std::memory_order_relaxed);
        const uint32_t earlier_failures = time_fail_count.load(std::memory_order_relaxed);
        if (earlier_failures != 0)
            leave_fail_message(earlier_failures, now);
    }
    time_fail_count.fetch_add(1, std::memory_order_relaxed);
}

YALTIME_SEC_T gettime_failure(YALTIME_SEC_T now)
{
    count_failure(now);
    return os_gettime();
}

int64_t gettime_failure_ns(long double now_ns)
{
    count_failure(static_cast<double>(now_ns * 1e-9L));
    return os_gettime_ns();
}

extern "C" YALTIME_SEC_T func_YALTIME_NOW(void) { return gettime_now(); }

/* The nanosecond readings (public/yaltime_ns.h): as YALTIME_NOW and
 * YALTIME_TSC_TO_NOW, at the calibration's full precision. */
extern "C" OSDEF_EXPORT int64_t yaltime_now_ns(void)
{
    const YALTIME_TSC_T tsc = rdtsc();
    return calibrated_or_os_ns(get_active_calibration_at(tsc), tsc);
}

extern "C" OSDEF_EXPORT int64_t yaltime_tsc_to_ns(uint64_t tsc) { return calibrated_or_os_ns(get_active_calibration(), tsc); }

/* Converted with the calibration in force now, not the one of when `tsc` was read. */
extern "C" YALTIME_SEC_T func_YALTIME_TSC_TO_NOW(YALTIME_TSC_T tsc) { return gettime_float(tsc); }

/* Whole milliseconds, truncated; 0 if neither clock gives a positive time. */
extern "C" YALTIME_MSEC_T func_YALTIME_GETTIME(void) { return yaltime_double_to_u64(gettime_now() * 1000.0); }

/* Whole microseconds, truncated; 0 if neither clock gives a positive time. */
extern "C" YALTIME_USEC_T func_YALTIME_GET_CURRENT_USEC(void)
{
    return yaltime_double_to_u64(gettime_now() * 1000000.0);
}

/*
 * OS clock minus calibrated clock, the calibrated side taken at the middle of
 * the TSC bracket around the OS reading.  Positive: the calibrated clock is
 * behind.
 */
extern "C" YALTIME_SEC_T func_YALTIME_GET_CLOCK_ERROR(void)
{
    const YALTIME_TSC_T t1 = rdtsc();
    const double os_time = os_gettime();
    const YALTIME_TSC_T t2 = rdtsc();
    const YALTIME_TSC_T t = t1 + (t2 - t1) / 2;
    return os_time - gettime_float_at(t, t2);
}
