/*
 * tsc_health.cpp - the kernel's view of the TSC, from sysfs and cpuinfo.
 */
#include "tools/tsc_health.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <vector>

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
        std::istringstream words(line.substr(i + 1));
        std::string word;
        constant_tsc = nonstop_tsc = false;
        while (words >> word) {
            constant_tsc = constant_tsc || word == "constant_tsc";
            nonstop_tsc = nonstop_tsc || word == "nonstop_tsc";
        }
        return true;
    }
    return false;
}

health read_health(const std::string &root)
{
    health h;
    std::string text;
    if (read_file(root + CLOCKSOURCE_PATH, text)) {
        h.clocksource = parse_clocksource(text);
        h.clocksource_known = !h.clocksource.empty();
    }
    if (read_file(root + CPUINFO_PATH, text))
        h.flags_known = parse_cpu_flags(text, h.constant_tsc, h.nonstop_tsc);
    return h;
}

std::string root_from_environment()
{
    const char *root = getenv(ROOT_ENV);
    return root != nullptr ? root : "";
}

bool healthy(const health &h)
{
    const bool clocksource_bad = h.clocksource_known && h.clocksource != "tsc";
    const bool flags_bad = h.flags_known && !(h.constant_tsc && h.nonstop_tsc);
    return !clocksource_bad && !flags_bad;
}

std::string warning(const health &h)
{
    if (healthy(h))
        return "";
    std::vector<std::string> facts;
    if (h.clocksource_known && h.clocksource != "tsc")
        facts.push_back("the kernel's clocksource is " + h.clocksource + ", not tsc");
    if (h.flags_known && !h.constant_tsc && !h.nonstop_tsc)
        facts.push_back("the CPU has neither constant_tsc nor nonstop_tsc");
    else if (h.flags_known && !h.constant_tsc)
        facts.push_back("the CPU lacks constant_tsc");
    else if (h.flags_known && !h.nonstop_tsc)
        facts.push_back("the CPU lacks nonstop_tsc");
    std::string line = "warning: ";
    for (std::size_t i = 0; i < facts.size(); ++i)
        line += (i > 0 ? ", and " : "") + facts[i];
    return line + ": the TSC may not be invariant, so YALTIME's readings may drift or jump across CPU frequency "
                  "changes and sleep states\n";
}

std::string format_text(const health &h)
{
    return std::string("clocksource  ") + (h.clocksource_known ? h.clocksource : std::string("unknown")) +
           " (constant_tsc " + yes_no(h.flags_known, h.constant_tsc) + ", nonstop_tsc " +
           yes_no(h.flags_known, h.nonstop_tsc) + ")\n";
}

std::string json_fields(const health &h)
{
    return std::string(", \"clocksource\": ") +
           (h.clocksource_known ? status::json_string(h.clocksource) : std::string("null")) +
           ", \"constant_tsc\": " + json_bool(h.flags_known, h.constant_tsc) +
           ", \"nonstop_tsc\": " + json_bool(h.flags_known, h.nonstop_tsc);
}

} // namespace tsc_health
