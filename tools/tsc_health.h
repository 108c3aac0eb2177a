/*
 * tsc_health.h - does the kernel trust the TSC that YALTIME reads?
 *
 * YALTIME's clock is only as good as the TSC: it must tick at one rate
 * whatever the CPU's frequency (constant_tsc), and the kernel, which watches
 * it against other clocks, must not have found it unstable.  When it does
 * (the TSC stopped in a sleep state, or CPUs disagree), it removes "tsc"
 * from the available clocksources for good.  That is what the warning is
 * about.  The clocksource the kernel uses is a fact, not a fault: a virtual
 * machine's kernel prefers kvm-clock while its invariant TSC stays available
 * and YALTIME right.  nonstop_tsc is reported too; a TSC that stops in deep
 * sleep is caught by the kernel's watchdog, which then marks it unstable.
 * A kernel booted with tsc=unstable (or notsc) drops it because it was told
 * to, as many cloud images are: that is a choice, not a finding, and raises
 * no warning by itself.  Both tools read what the kernel says:
 *   <root>/sys/devices/system/clocksource/clocksource0/current_clocksource
 *   <root>/sys/devices/system/clocksource/clocksource0/available_clocksource
 *   <root>/proc/cpuinfo (the first "flags" line)
 *   <root>/proc/cmdline (the kernel's boot parameters)
 * where <root> is $YALTIME_SYSFS_ROOT, empty (the real files) by default; the
 * tests point it at a folder of their own.  A file that cannot be read
 * leaves its facts unknown, and an unknown fact raises no warning.
 */
#ifndef YALTIME_TOOLS_TSC_HEALTH_H
#define YALTIME_TOOLS_TSC_HEALTH_H

#include <string>

namespace tsc_health {

constexpr const char *ROOT_ENV = "YALTIME_SYSFS_ROOT";
constexpr const char *CLOCKSOURCE_PATH = "/sys/devices/system/clocksource/clocksource0/current_clocksource";
constexpr const char *AVAILABLE_PATH = "/sys/devices/system/clocksource/clocksource0/available_clocksource";
constexpr const char *CPUINFO_PATH = "/proc/cpuinfo";
constexpr const char *CMDLINE_PATH = "/proc/cmdline";

struct health {
    bool clocksource_known = false;
    std::string clocksource;
    bool available_known = false;
    bool tsc_available = false; /* "tsc" among the available clocksources */
    bool flags_known = false;
    bool constant_tsc = false;
    bool nonstop_tsc = false;
    bool cmdline_known = false;
    bool unstable_by_boot_parameter = false; /* tsc=unstable or notsc */
};

/* The clocksource's name from the file's text, without surrounding blanks; "" if none. */
std::string parse_clocksource(const std::string &text);

/* True if `name` is one of the blank-separated words of `text`. */
bool has_word(const std::string &text, const std::string &name);

/* Reads constant_tsc and nonstop_tsc from the first "flags" line; false if there is none. */
bool parse_cpu_flags(const std::string &cpuinfo, bool &constant_tsc, bool &nonstop_tsc);

/* True if the boot parameters tell the kernel not to trust the TSC. */
bool boot_parameter_says_unstable(const std::string &cmdline);

/* Reads the four files under `root` ("" for the machine's own). */
health read_health(const std::string &root);

/* The root the tools use: $YALTIME_SYSFS_ROOT, or "". */
std::string root_from_environment();

/* True when the kernel has dropped "tsc" from its available clocksources. */
bool marked_unstable(const health &h);

/* True when the kernel dropped "tsc" without a boot parameter telling it to
 * (or without our knowing of one): it saw the TSC misbehave. */
bool kernel_found_unstable(const health &h);

/* False when the kernel found the TSC unstable or the CPU lacks constant_tsc. */
bool healthy(const health &h);

/* One line ending in "\n" saying what is wrong and what it means; "" when healthy. */
std::string warning(const health &h);

/* "clocksource  kvm-clock (tsc available, constant_tsc yes, nonstop_tsc yes)\n" */
std::string format_text(const health &h);

/* `, "clocksource": ..., "tsc_available": ..., "constant_tsc": ..., "nonstop_tsc": ...`
 * to append to a JSON object. */
std::string json_fields(const health &h);

/* `, "tsc_unstable_boot_parameter": true|false|null` to append to a JSON object. */
std::string boot_parameter_json(const health &h);

} // namespace tsc_health

#endif /* YALTIME_TOOLS_TSC_HEALTH_H */
