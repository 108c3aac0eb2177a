/*
 * vek_base.interface.h - the host's base services (component VEK_BASE).
 *
 * Each service WORD is registered by VEK_BASE as the interface
 * "VEK_BASE_" WORD, has the function type VEK_BASE_WORD_T, and is held by a
 * client component in the global slot vek_base_word (lower case), filled by
 * the client's link routine.  VEK_BASE_SERVICES lists all 51 services in
 * lookup order; it expands X(WORD, word) for each.
 */
#ifndef VEK_BASE_INTERFACE_H
#define VEK_BASE_INTERFACE_H

#include "../public/vek.h"

OSDEF_BEGIN_C

#define VEK_BASE_CMP_NAME "VEK_BASE"
#ifndef VEK_CMP_NAME
#define VEK_CMP_NAME VEK_BASE_CMP_NAME
#endif

typedef unsigned int (*VEK_BASE_ADDR_TO_SYMBOL_T)(char *, unsigned long, void *);
typedef int (*VEK_BASE_BACKTRACE_T)(void **, int);
typedef int (*VEK_BASE_COMPARE_T)(const void *, const void *, int);
typedef void (*VEK_BASE_COPY_T)(void *, const void *, int);
typedef void (*VEK_BASE_FAIL_T)(const char *format, ...);
typedef void (*VEK_BASE_FREE_T)(void *);
typedef char *(*VEK_BASE_GET_ARG_T)(char *name);
typedef void (*VEK_BASE_GET_ARGC_ARGV_T)(int *, char ***);
typedef int (*VEK_BASE_GETPID_T)(void);
typedef const char *(*VEK_BASE_HEX_FROM_ULL_T)(unsigned long long);
typedef unsigned long long (*VEK_BASE_HEX_TO_ULL_T)(const char *);
typedef int (*VEK_BASE_INTERFACE_LISTEN_T)(char *, char *);
typedef unsigned char (*VEK_BASE_ISINF_T)(double);
typedef unsigned char (*VEK_BASE_ISNAN_T)(double);
typedef char *(*VEK_BASE_LOAD_PLUGIN_T)(const char *);
typedef char *(*VEK_BASE_LOAD_PLUGIN_BY_NAME_T)(const char *, const char *, const char *, const char *);
typedef VEK_PLUGIN_H (*VEK_BASE_LOAD_PLUGIN_GET_HANDLE_T)(VEK_LPCB_H);
typedef char *(*VEK_BASE_LOAD_PLUGIN_GET_MSG_T)(VEK_LPCB_H);
typedef VEK_LPCB_H (*VEK_BASE_LOAD_PLUGIN_START_T)(const char *, const char *, const char *, const char *);
typedef int (*VEK_BASE_LOAD_PLUGIN_STATUS_T)(VEK_LPCB_H);
typedef char *(*VEK_BASE_LOAD_PLUGIN_WAIT_T)(VEK_LPCB_H);
typedef VEK_LOOKUP_T VEK_BASE_LOOKUP_T;
typedef void *(*VEK_BASE_MALLOC_T)(unsigned long);
typedef void *(*VEK_BASE_MALLOC_ZERO_T)(unsigned long);
typedef void (*VEK_BASE_MEMSET_T)(void *p, char c, long n);
typedef void *(*VEK_BASE_MMAP_R_T)(char *name, long *size);
typedef void *(*VEK_BASE_MMAP_REMAP_T)(char *, long *, volatile void *);
typedef void *(*VEK_BASE_MMAP_RW_T)(char *name, long size);
typedef void (*VEK_BASE_MMAP_UNMAP_T)(char *, long, volatile void *);
typedef int (*VEK_BASE_PLUGIN_PRESENT_T)(char *);
typedef int (*VEK_BASE_PRINTF_T)(const char *, ...);
typedef void (*VEK_BASE_SCHED_YIELD_T)(void);
typedef void (*VEK_BASE_SEMAPHORE_DESTROY_T)(VEK_BASE_SEMAPHORE_H);
typedef VEK_BASE_SEMAPHORE_H (*VEK_BASE_SEMAPHORE_INIT_T)(unsigned int);
typedef void (*VEK_BASE_SEMAPHORE_POST_T)(VEK_BASE_SEMAPHORE_H);
typedef void (*VEK_BASE_SEMAPHORE_WAIT_T)(VEK_BASE_SEMAPHORE_H);
typedef void (*VEK_BASE_SLEEP_T)(double seconds);
typedef int (*VEK_BASE_SNPRINTF_T)(char *buf, int buflen, const char *format, ...);
typedef int (*VEK_BASE_SPRINTF_T)(char *, const char *, ...);
typedef int (*VEK_BASE_STRCMP_T)(const char *, const char *);
typedef char *(*VEK_BASE_STRCPY_T)(char *, const char *);
typedef char *(*VEK_BASE_STRDUP_T)(const char *);
typedef unsigned int (*VEK_BASE_STRLEN_T)(const char *);
typedef char *(*VEK_BASE_STRNCPY_T)(char *, const char *, int);
typedef char *(*VEK_BASE_STRSEP_T)(char **, const char *);
typedef void (*VEK_BASE_SYSLOG_T)(const char *, ...);
typedef void (*VEK_BASE_SYSLOG_VEKERROR_T)(unsigned int, const char *, ...);
typedef void (*VEK_BASE_SYSLOG_DEBUG_T)(const char *, ...);
typedef void (*VEK_BASE_SYSLOG_ERROR_T)(const char *format, ...);
typedef void (*VEK_BASE_SYSLOG_WARNING_T)(const char *, ...);
typedef int (*VEK_BASE_THREADSCHED_START_T)(void *(*function)(void *), void *argument, char *name);

/* All services, in the order a client's link routine looks them up. */
#define VEK_BASE_SERVICES(X)                                                   \
    X(ADDR_TO_SYMBOL, addr_to_symbol)                                          \
    X(BACKTRACE, backtrace)                                                    \
    X(COMPARE, compare)                                                        \
    X(COPY, copy)                                                              \
    X(FAIL, fail)                                                              \
    X(FREE, free)                                                              \
    X(GET_ARG, get_arg)                                                        \
    X(GET_ARGC_ARGV, get_argc_argv)                                            \
    X(GETPID, getpid)                                                          \
    X(HEX_FROM_ULL, hex_from_ull)                                              \
    X(HEX_TO_ULL, hex_to_ull)                                                  \
    X(INTERFACE_LISTEN, interface_listen)                                      \
    X(ISINF, isinf)                                                            \
    X(ISNAN, isnan)                                                            \
    X(LOAD_PLUGIN, load_plugin)                                                \
    X(LOAD_PLUGIN_BY_NAME, load_plugin_by_name)                                \
    X(LOAD_PLUGIN_GET_HANDLE, load_plugin_get_handle)                          \
    X(LOAD_PLUGIN_GET_MSG, load_plugin_get_msg)                                \
    X(LOAD_PLUGIN_START, load_plugin_start)                                    \
    X(LOAD_PLUGIN_STATUS, load_plugin_status)                                  \
    X(LOAD_PLUGIN_WAIT, load_plugin_wait)                                      \
    X(LOOKUP, lookup)                                                          \
    X(MALLOC, malloc)                                                          \
    X(MALLOC_ZERO, malloc_zero)                                                \
    X(MEMSET, memset)                                                          \
    X(MMAP_R, mmap_r)                                                          \
    X(MMAP_REMAP, mmap_remap)                                                  \
    X(MMAP_RW, mmap_rw)                                                        \
    X(MMAP_UNMAP, mmap_unmap)                                                  \
    X(PLUGIN_PRESENT, plugin_present)                                          \
    X(PRINTF, printf)                                                          \
    X(SCHED_YIELD, sched_yield)                                                \
    X(SEMAPHORE_DESTROY, semaphore_destroy)                                    \
    X(SEMAPHORE_INIT, semaphore_init)                                          \
    X(SEMAPHORE_POST, semaphore_post)                                          \
    X(SEMAPHORE_WAIT, semaphore_wait)                                          \
    X(SLEEP, sleep)                                                            \
    X(SNPRINTF, snprintf)                                                      \
    X(SPRINTF, sprintf)                                                        \
    X(STRCMP, strcmp)                                                          \
    X(STRCPY, strcpy)                                                          \
    X(STRDUP, strdup)                                                          \
    X(STRLEN, strlen)                                                          \
    X(STRNCPY, strncpy)                                                        \
    X(STRSEP, strsep)                                                          \
    X(SYSLOG, syslog)                                                          \
    X(SYSLOG_VEKERROR, syslog_vekerror)                                        \
    X(SYSLOG_DEBUG, syslog_debug)                                              \
    X(SYSLOG_ERROR, syslog_error)                                              \
    X(SYSLOG_WARNING, syslog_warning)                                          \
    X(THREADSCHED_START, threadsched_start)

#define VEK_BASE_SERVICE_COUNT 51

/* The slots of a client component; defined once in its primary module. */
#define VEK_BASE_DECLARE_SLOT(WORD, word) extern VEK_BASE_##WORD##_T vek_base_##word;
VEK_BASE_SERVICES(VEK_BASE_DECLARE_SLOT)
#undef VEK_BASE_DECLARE_SLOT

OSDEF_END_C

#endif /* VEK_BASE_INTERFACE_H */
