/*
 * tsc_health.cpp - the kernel's view of the TSC, from sysfs and cpuinfo.
 */
#include "tools/tsc_health.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "tools/shared_area.h"

namespace tsc_health {

namespace {

bool read_file(const std::string &path, std::string &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::stringstream s;
    s << in.rdbuf();
    out = s.str();
    return !in.bad();
}

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

const char *yes_no(bool known, bool value)
{
    return !known ? "unknown" : value ? "yes" : "no";
}

const char *json_bool(bool known, bool value)
{
    return !known ? "null" : value ? "true" : "false";
}

} // namespace

std::string parse_clocksource(const std::string &text)
{
    std::size_t begin = 0, end = text.size();
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

bool has_word(const std::string &text, const std::string &name)
{
    std::istringstream words(text);
    std::string word;
    while (words >> word)
        if (word == name)
            return true;
    return false;
}

bool parse_cpu_flags(const std::string &cpuinfo, bool &constant_tsc, bool &nonstop_tsc)
{
    std::istringstream lines(cpuinfo);
    std::string line;
    while (std::getline(lines, line)) {
        /* "flags\t\t: fpu vme ...": the key, blanks, a colon, the words. */
        if (line.compare(0, 5, "flags") != 0)
            continue;
        std::size_t i = 5;
        while (i < line.size() && blank(line[i]))
            ++i;
        if (i >= line.size() || line[i] != ':')
            continue;
        constant_tsc = has_word(line.substr(i + 1), "constant_tsc");
        nonstop_tsc = has_word(line.substr(i + 1), "nonstop_tsc");
        return true;
    }
    return false;
}

bool boot_parameter_says_unstable(const std::string &cmdline)
{
    return has_word(cmdline, "tsc=unstable") || has_word(cmdline, "notsc");
}

health read_health(const std::string &root)
{
    health h;
    std::string text;
    if (read_file(root + CLOCKSOURCE_PATH, text)) {
        h.clocksource = parse_clocksource(text);
        h.clocksource_known = !h.clocksource.empty();
    }
    if (read_file(root + AVAILABLE_PATH, text) && !parse_clocksource(text).empty()) {
        h.available_known = true;
        h.tsc_available = has_word(text, "tsc");
    }
    if (h.clocksource_known && h.clocksource == "tsc")
        h.available_known = h.tsc_available = true;
    if (read_file(root + CPUINFO_PATH, text))
        h.flags_known = parse_cpu_flags(text, h.constant_tsc, h.nonstop_tsc);
    if (read_file(root + CMDLINE_PATH, text)) {
        h.cmdline_known = true;
        h.unstable_by_boot_parameter = boot_parameter_says_unstable(text);
    }
    return h;
}

std::string root_from_environment()
{
    const char *root = getenv(ROOT_ENV);
    return root != nullptr ? root : "";
}

bool marked_unstable(const health &h)
{
    return h.available_known && !h.tsc_available;
}

bool kernel_found_unstable(const health &h)
{
    return marked_unstable(h) && !h.unstable_by_boot_parameter;
}

bool healthy(const health &h)
{
    return !kernel_found_unstable(h) && !(h.flags_known && !h.constant_tsc);
}

std::string warning(const health &h)
{
    if (healthy(h))
        return "";
    std::string line = "warning: ";
    if (kernel_found_unstable(h))
        line += "the kernel has marked the TSC unstable (tsc is not among its available clocksources)";
    if (kernel_found_unstable(h) && h.flags_known && !h.constant_tsc)
        line += ", and ";
    if (h.flags_known && !h.constant_tsc)
        line += "the CPU lacks constant_tsc";
    return line + ": the TSC may not be invariant, so YALTIME's readings may drift or jump across CPU frequency "
                  "changes and sleep states\n";
}

std::string format_text(const health &h)
{
    const char *tsc = !h.available_known              ? "tsc availability unknown"
                      : h.tsc_available                ? "tsc available"
                      : h.unstable_by_boot_parameter   ? "tsc unstable by boot parameter"
                                                       : "tsc unstable";
    return std::string("clocksource  ") + (h.clocksource_known ? h.clocksource : std::string("unknown")) + " (" +
           tsc + ", constant_tsc " + yes_no(h.flags_known, h.constant_tsc) + ", nonstop_tsc " +
           yes_no(h.flags_known, h.nonstop_tsc) + ")\n";
}

std::string json_fields(const health &h)
{
    return std::string(", \"clocksource\": ") +
           (h.clocksource_known ? status::json_string(h.clocksource) : std::string("null")) +
           ", \"tsc_available\": " + json_bool(h.available_known, h.tsc_available) +
           ", \"constant_tsc\": " + json_bool(h.flags_known, h.constant_tsc) +
           ", \"nonstop_tsc\": " + json_bool(h.flags_known, h.nonstop_tsc);
}

std::string boot_parameter_json(const health &h)
{
    return std::string(", \"tsc_unstable_boot_parameter\": ") + json_bool(h.cmdline_known, h.unstable_by_boot_parameter);
}

} // namespace tsc_health
