/*
 * vek_base.cpp - the host's base-services component VEK_BASE
 * (lib-vek-vek_base.so).
 *
 * Registers "VEK_BASE" with one interface "VEK_BASE_<WORD>" per service it
 * really provides, in the order of VEK_BASE_SERVICES, then "VEK_CMP_LINK".
 * A service this host does not provide is not registered at all, so a
 * client's lookup gives null for it; nothing here pretends to work.
 * Absent: ADDR_TO_SYMBOL, GET_ARGC_ARGV, INTERFACE_LISTEN, the LOAD_PLUGIN
 * family, MMAP_REMAP, PLUGIN_PRESENT, SYSLOG_VEKERROR.
 *
 * Named shared memory is POSIX shm (shm_areas.cpp): the name "N" becomes
 * "/" PREFIX "N", PREFIX being the environment variable VEK_SHM_PREFIX.
 * Tests give each run a prefix of its own.  An area is used only when
 * trusted (shm_trust.h).  What mmap_r finds untrusted is said by a thread
 * started through THREADSCHED_START when it next sleeps (the component's
 * discipline thread sleeps once a second), never by the thread that maps.
 *
 * Start-up arguments: VEK_CMP_LINK keeps the host's lookup (the LOOKUP
 * service) and looks up the host's own "VEK_HOST_GET_ARG" (host/vek_host.h);
 * get_arg asks the host through it.  Before the link, get_arg gives null.
 *
 * Only vek_component_registration is exported (hidden visibility and the
 * version script vek_base.exports.map).
 */
#include <errno.h>
#include <execinfo.h>
#include <math.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

#include "host/shm_areas.h"
#include "host/vek_host.h"
#include "interface/vek_base.interface.h"

namespace {

std::atomic<VEK_LOOKUP_T> g_lookup{nullptr};
std::atomic<VEK_HOST_GET_ARG_T> g_get_arg{nullptr};

/* printf-style formatting into a string (any length). */
std::string vformat(const char *format, va_list args)
{
    if (format == nullptr)
        return std::string();
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string(format);
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_copy(copy, args);
    vsnprintf(big.data(), big.size(), format, copy);
    va_end(copy);
    big.resize(static_cast<size_t>(n));
    return big;
}

/* The message on stderr, with a line end of its own if it has none. */
void to_stderr(const std::string &message)
{
    bool newline = !message.empty() && message.back() == '\n';
    fprintf(stderr, "%s%s", message.c_str(), newline ? "" : "\n");
    fflush(stderr);
}

void to_syslog(int priority, const std::string &message) { syslog(priority, "%s", message.c_str()); }

/* Upper bound of one sleep: about 68 years, far from any time_t overflow. */
constexpr double SLEEP_MAX_SECONDS = 2147483647.0;

/* Set in the threads started through THREADSCHED_START: threads of the
 * components, which may say what the shared-memory services noted. */
thread_local bool t_component_thread = false;

struct ThreadStart {
    void *(*function)(void *);
    void *argument;
    char name[16]; /* a Linux thread name holds 15 characters */
    bool named;
};

void *thread_trampoline(void *p)
{
    ThreadStart start = *static_cast<ThreadStart *>(p);
    delete static_cast<ThreadStart *>(p);
    t_component_thread = true;
    if (start.named)
        pthread_setname_np(pthread_self(), start.name);
    return start.function(start.argument);
}

} // namespace

/* --- the services ---------------------------------------------------------------- */

static int func_VEK_BASE_BACKTRACE(void **buffer, int size)
{
    if (buffer == nullptr || size <= 0)
        return 0;
    return backtrace(buffer, size);
}

static int func_VEK_BASE_COMPARE(const void *a, const void *b, int n)
{
    return n > 0 ? memcmp(a, b, static_cast<size_t>(n)) : 0;
}

static void func_VEK_BASE_COPY(void *to, const void *from, int n)
{
    if (n > 0)
        memmove(to, from, static_cast<size_t>(n));
}

static void func_VEK_BASE_FAIL(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string message = vformat(format, args);
    va_end(args);
    to_stderr(message);
    to_syslog(LOG_ERR, message);
    abort();
}

static void func_VEK_BASE_FREE(void *p) { free(p); }

static char *func_VEK_BASE_GET_ARG(char *name)
{
    VEK_HOST_GET_ARG_T get = g_get_arg.load();
    if (get == nullptr || name == nullptr)
        return nullptr;
    return const_cast<char *>(get(name));
}

static int func_VEK_BASE_GETPID(void) { return static_cast<int>(getpid()); }

static const char *func_VEK_BASE_HEX_FROM_ULL(unsigned long long value)
{
    static thread_local char text[sizeof(unsigned long long) * 2 + 1];
    snprintf(text, sizeof text, "%llx", value);
    return text;
}

static unsigned long long func_VEK_BASE_HEX_TO_ULL(const char *text)
{
    return text != nullptr ? strtoull(text, nullptr, 16) : 0;
}

static unsigned char func_VEK_BASE_ISINF(double x) { return isinf(x) ? 1 : 0; }

static unsigned char func_VEK_BASE_ISNAN(double x) { return isnan(x) ? 1 : 0; }

static void *func_VEK_BASE_LOOKUP(const char *component, const char *interface)
{
    VEK_LOOKUP_T lookup = g_lookup.load();
    return lookup != nullptr ? lookup(component, interface) : nullptr;
}

static void *func_VEK_BASE_MALLOC(unsigned long size) { return malloc(size); }

static void *func_VEK_BASE_MALLOC_ZERO(unsigned long size) { return calloc(1, size); }

static void func_VEK_BASE_MEMSET(void *p, char c, long n)
{
    if (p != nullptr && n > 0)
        memset(p, static_cast<unsigned char>(c), static_cast<size_t>(n));
}

static void *func_VEK_BASE_MMAP_R(char *name, long *size) { return shm_areas::map_to_read(name, size); }

static void *func_VEK_BASE_MMAP_RW(char *name, long size) { return shm_areas::map_as_owner(name, size); }

/* Unmaps a mapping made by mmap_r or mmap_rw; the named area itself stays. */
static void func_VEK_BASE_MMAP_UNMAP(char * /*name*/, long size, volatile void *p)
{
    shm_areas::unmap(const_cast<void *>(p), size);
}

static int func_VEK_BASE_PRINTF(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = vprintf(format, args);
    va_end(args);
    return n;
}

static void func_VEK_BASE_SCHED_YIELD(void) { sched_yield(); }

static void func_VEK_BASE_SEMAPHORE_DESTROY(VEK_BASE_SEMAPHORE_H h)
{
    if (h == nullptr)
        return;
    sem_t *sem = reinterpret_cast<sem_t *>(h);
    sem_destroy(sem);
    delete sem;
}

static VEK_BASE_SEMAPHORE_H func_VEK_BASE_SEMAPHORE_INIT(unsigned int value)
{
    sem_t *sem = new (std::nothrow) sem_t;
    if (sem == nullptr)
        return nullptr;
    if (sem_init(sem, 0, value) != 0) {
        delete sem;
        return nullptr;
    }
    return reinterpret_cast<VEK_BASE_SEMAPHORE_H>(sem);
}

static void func_VEK_BASE_SEMAPHORE_POST(VEK_BASE_SEMAPHORE_H h)
{
    if (h != nullptr)
        sem_post(reinterpret_cast<sem_t *>(h));
}

static void func_VEK_BASE_SEMAPHORE_WAIT(VEK_BASE_SEMAPHORE_H h)
{
    if (h == nullptr)
        return;
    while (sem_wait(reinterpret_cast<sem_t *>(h)) != 0 && errno == EINTR) {
    }
}

/* Sleeps the whole span on CLOCK_MONOTONIC towards an absolute deadline,
 * so a signal handler in between costs nothing.  Zero, negative and NaN
 * return at once; longer than SLEEP_MAX_SECONDS (infinity too) sleeps that. */
static void func_VEK_BASE_SLEEP(double seconds)
{
    if (t_component_thread)
        shm_areas::say_untrusted_report();
    if (!(seconds > 0.0))
        return;
    if (seconds > SLEEP_MAX_SECONDS)
        seconds = SLEEP_MAX_SECONDS;
    double whole = floor(seconds);
    long nanos = static_cast<long>((seconds - whole) * 1e9);
    if (nanos < 0)
        nanos = 0;
    if (nanos > 999999999L)
        nanos = 999999999L;
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(whole);
    deadline.tv_nsec += nanos;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        deadline.tv_sec += 1;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

static int func_VEK_BASE_SNPRINTF(char *buf, int buflen, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buflen > 0 ? buf : nullptr, buflen > 0 ? static_cast<size_t>(buflen) : 0, format, args);
    va_end(args);
    return n;
}

static int func_VEK_BASE_SPRINTF(char *buf, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = vsprintf(buf, format, args);
    va_end(args);
    return n;
}

static int func_VEK_BASE_STRCMP(const char *a, const char *b) { return strcmp(a, b); }

static char *func_VEK_BASE_STRCPY(char *to, const char *from) { return strcpy(to, from); }

static char *func_VEK_BASE_STRDUP(const char *s) { return s != nullptr ? strdup(s) : nullptr; }

static unsigned int func_VEK_BASE_STRLEN(const char *s) { return static_cast<unsigned int>(strlen(s)); }

static char *func_VEK_BASE_STRNCPY(char *to, const char *from, int n)
{
    return strncpy(to, from, n > 0 ? static_cast<size_t>(n) : 0);
}

static char *func_VEK_BASE_STRSEP(char **string, const char *delimiters) { return strsep(string, delimiters); }

#define VEK_BASE_SYSLOG_AT(FUNC, PRIORITY, STDERR)                                                 \
    static void FUNC(const char *format, ...)                                                  \
    {                                                                                          \
        va_list args;                                                                          \
        va_start(args, format);                                                                \
        std::string message = vformat(format, args);                                           \
        va_end(args);                                                                          \
        if (STDERR)                                                                            \
            to_stderr(message);                                                                \
        to_syslog(PRIORITY, message);                                                          \
    }
VEK_BASE_SYSLOG_AT(func_VEK_BASE_SYSLOG, LOG_INFO, false)
VEK_BASE_SYSLOG_AT(func_VEK_BASE_SYSLOG_DEBUG, LOG_DEBUG, false)
VEK_BASE_SYSLOG_AT(func_VEK_BASE_SYSLOG_ERROR, LOG_ERR, true)
VEK_BASE_SYSLOG_AT(func_VEK_BASE_SYSLOG_WARNING, LOG_WARNING, false)
#undef VEK_BASE_SYSLOG_AT

/* Starts a detached thread running function(argument), named after the
 * first 15 characters of name (set before function runs).  0 on success,
 * else the pthread error number. */
static int func_VEK_BASE_THREADSCHED_START(void *(*function)(void *), void *argument, char *name)
{
    if (function == nullptr)
        return EINVAL;
    ThreadStart *start = new (std::nothrow) ThreadStart{function, argument, {}, name != nullptr};
    if (start == nullptr)
        return ENOMEM;
    if (name != nullptr)
        snprintf(start->name, sizeof start->name, "%s", name);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, thread_trampoline, start);
    pthread_attr_destroy(&attr);
    if (rc != 0)
        delete start;
    return rc;
}

/* Services this host does not provide: never registered. */
#define VEK_BASE_ABSENT(WORD) constexpr std::nullptr_t func_VEK_BASE_##WORD = nullptr;
VEK_BASE_ABSENT(ADDR_TO_SYMBOL)
VEK_BASE_ABSENT(GET_ARGC_ARGV)
VEK_BASE_ABSENT(INTERFACE_LISTEN)
VEK_BASE_ABSENT(LOAD_PLUGIN)
VEK_BASE_ABSENT(LOAD_PLUGIN_BY_NAME)
VEK_BASE_ABSENT(LOAD_PLUGIN_GET_HANDLE)
VEK_BASE_ABSENT(LOAD_PLUGIN_GET_MSG)
VEK_BASE_ABSENT(LOAD_PLUGIN_START)
VEK_BASE_ABSENT(LOAD_PLUGIN_STATUS)
VEK_BASE_ABSENT(LOAD_PLUGIN_WAIT)
VEK_BASE_ABSENT(MMAP_REMAP)
VEK_BASE_ABSENT(PLUGIN_PRESENT)
VEK_BASE_ABSENT(SYSLOG_VEKERROR)
#undef VEK_BASE_ABSENT

/* --- life cycle ---------------------------------------------------------------- */

static int func_VEK_CMP_LINK(VEK_LOOKUP_T lookup)
{
    g_lookup.store(lookup);
    VEK_HOST_GET_ARG_T get_arg = nullptr;
    if (lookup != nullptr)
        get_arg = reinterpret_cast<VEK_HOST_GET_ARG_T>(lookup(VEK_HOST_CMP_NAME, "VEK_HOST_GET_ARG"));
    g_get_arg.store(get_arg);
    return 1;
}

namespace {

struct Service {
    const char *name;
    void *function; /* null: not provided */
};

template <typename F> void *as_pointer(F function) { return reinterpret_cast<void *>(function); }

/* Every service in VEK_BASE_SERVICES order; a func_VEK_BASE_<WORD> must
 * exist for each, as a function or as an absent marker above.  The cast
 * checks each function against the service's type. */
#define VEK_BASE_SERVICE_ROW(WORD, word)                                                           \
    {"VEK_BASE_" #WORD, as_pointer(static_cast<VEK_BASE_##WORD##_T>(func_VEK_BASE_##WORD))},
const Service services[] = {VEK_BASE_SERVICES(VEK_BASE_SERVICE_ROW)};
#undef VEK_BASE_SERVICE_ROW

static_assert(sizeof services / sizeof services[0] == VEK_BASE_SERVICE_COUNT, "one row per service");

} // namespace

extern "C" OSDEF_EXPORT VEK_PLUGIN_H vek_component_registration(VEK_REGISTER_COMPONENT_T vek_register_cmp,
                                                               const char *so_library_filename)
{
    VEK_REGISTER_INTERFACE_T reg_if = nullptr;
    VEK_REGISTER_COMPLETE_T reg_complete = nullptr;
    VEK_REGISTER_DEPENDENCY_T reg_dep = nullptr;
    VEK_REGISTER_DEPENDENCY_T reg_dep_noload = nullptr;
    if (vek_register_cmp == nullptr)
        return nullptr;
    VEK_PLUGIN_H reg = vek_register_cmp(VEK_BASE_CMP_NAME, &reg_if, &reg_complete, &reg_dep, &reg_dep_noload,
                                        so_library_filename);
    if (reg == nullptr || reg_if == nullptr || reg_complete == nullptr)
        return nullptr;
    for (const Service &s : services)
        if (s.function != nullptr)
            reg_if(reg, s.name, s.function);
    VEK_REGISTER_IF(reg_if, reg, VEK_CMP_LINK);
    reg_complete(reg);
    return reg;
}
