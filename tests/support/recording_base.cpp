#include "tests/support/recording_base.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace recording_base {

std::vector<double> sleeps;
std::vector<std::string> errors;
std::vector<std::string> failures;
int snprintf_calls;
int mmap_r_calls;
mapping shared_area;
void *owned_area;
std::vector<void *> unmapped;

static std::string format_message(const char *format, va_list args)
{
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    return text;
}

static void record_sleep(double seconds) { sleeps.push_back(seconds); }

static void record_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    errors.push_back(format_message(format, args));
    va_end(args);
}

static void record_fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    failures.push_back(format_message(format, args));
    va_end(args);
}

static int real_snprintf(char *buf, int buflen, const char *format, ...)
{
    ++snprintf_calls;
    va_list args;
    va_start(args, format);
    const int count = std::vsnprintf(buf, buflen > 0 ? static_cast<size_t>(buflen) : 0, format, args);
    va_end(args);
    return count;
}

static void *record_mmap_r(char *name, long *size)
{
    ++mmap_r_calls;
    if (std::strcmp(name, "yal_time_master") != 0 || shared_area.area == nullptr)
        return nullptr;
    *size = shared_area.size;
    return shared_area.area;
}

static void *record_mmap_rw(char *, long) { return owned_area; }

static void record_unmap(char *, long, volatile void *p) { unmapped.push_back(const_cast<void *>(p)); }

static void real_memset(void *p, char c, long n) { std::memset(p, c, static_cast<size_t>(n)); }

void install()
{
    sleeps.clear();
    errors.clear();
    failures.clear();
    snprintf_calls = 0;
    mmap_r_calls = 0;
    shared_area = {};
    owned_area = nullptr;
    unmapped.clear();
    vek_base_sleep = record_sleep;
    vek_base_syslog_error = record_error;
    vek_base_fail = record_fail;
    vek_base_snprintf = real_snprintf;
    vek_base_mmap_r = record_mmap_r;
    vek_base_mmap_rw = record_mmap_rw;
    vek_base_mmap_unmap = record_unmap;
    vek_base_memset = real_memset;
}

} // namespace recording_base
