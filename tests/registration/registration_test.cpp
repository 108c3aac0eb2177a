// Registration with a recording host, linking of the base services, and the
// library's outside: exactly the exported symbols, libc and libm only.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "interface/vek_base.interface.h"
#include "time/yaltime.vek.h"
#include "tests/support/installed_program.h"

namespace {

struct recorded_call {
    std::string kind; // "if", "dep", "complete"
    VEK_PLUGIN_H plugin;
    std::string name;
    void *function;
};

std::vector<recorded_call> calls;
std::string registered_component;
std::string registered_library;
bool refuse = false;
VEK_PLUGIN_H const Handle = reinterpret_cast<VEK_PLUGIN_H>(0x1234);

void record_interface(VEK_PLUGIN_H plugin, const char *name, void *function)
{
    calls.push_back({"if", plugin, name, function});
}
void record_dependency(VEK_PLUGIN_H plugin, const char *name) { calls.push_back({"dep", plugin, name, nullptr}); }
void record_noload_dependency(VEK_PLUGIN_H plugin, const char *name)
{
    calls.push_back({"dep-noload", plugin, name, nullptr});
}
void record_complete(VEK_PLUGIN_H plugin) { calls.push_back({"complete", plugin, "", nullptr}); }

VEK_PLUGIN_H register_component(const char *component, VEK_REGISTER_INTERFACE_T *reg_if,
                                VEK_REGISTER_COMPLETE_T *reg_complete, VEK_REGISTER_DEPENDENCY_T *reg_dep,
                                VEK_REGISTER_DEPENDENCY_T *reg_dep_noload, const char *library)
{
    registered_component = component;
    registered_library = library ? library : "";
    *reg_if = record_interface;
    *reg_complete = record_complete;
    *reg_dep = record_dependency;
    *reg_dep_noload = record_noload_dependency;
    return refuse ? nullptr : Handle;
}

const std::vector<std::string> Table_order = {
    "YALTIME_CLOCK_RESOLUTION", "YALTIME_FRAME_END",        "YALTIME_FRAME_START",      "YALTIME_GET_CALIBRATION",
    "YALTIME_GET_CLOCK_ERROR",  "YALTIME_GET_CURRENT_USEC", "YALTIME_GET_STEP_COUNT",   "YALTIME_GET_TSC_FREQUENCY",
    "YALTIME_GET_TSC_PERIOD",   "YALTIME_GET_UPDATE_COUNT", "YALTIME_GETTIME",          "YALTIME_NOW",
    "YALTIME_NOW_FRAME",        "YALTIME_NOW_NTP",          "YALTIME_SECS_TO_TSC",      "YALTIME_SLEEP_JITTER",
    "YALTIME_SLEEP_UNTIL",      "YALTIME_SNPRINTF_TIME",    "YALTIME_SNPRINTF_TIME_NTP", "YALTIME_START",
    "YALTIME_TSC_TO_NOW",       "YALTIME_TSC_TO_SECS",      "VEK_CMP_LINK",             "VEK_CMP_START"};

TEST(Registration, RegistersTheTableInOrderThenDependencyThenComplete)
{
    calls.clear();
    refuse = false;
    EXPECT_EQ(vek_component_registration(register_component, "/plugins/lib-vek-yaltime.so"), Handle);
    EXPECT_EQ(registered_component, "YALTIME");
    EXPECT_EQ(registered_library, "/plugins/lib-vek-yaltime.so");
    ASSERT_EQ(calls.size(), Table_order.size() + 2);
    std::set<void *> functions;
    for (size_t i = 0; i < Table_order.size(); ++i) {
        EXPECT_EQ(calls[i].kind, "if");
        EXPECT_EQ(calls[i].name, Table_order[i]) << "row " << i + 1;
        EXPECT_EQ(calls[i].plugin, Handle);
        EXPECT_NE(calls[i].function, nullptr);
        functions.insert(calls[i].function);
    }
    EXPECT_EQ(functions.size(), Table_order.size()) << "every row has a function of its own";
    EXPECT_EQ(calls[24].kind, "dep");
    EXPECT_EQ(calls[24].name, "VEK_BASE");
    EXPECT_EQ(calls[24].plugin, Handle);
    EXPECT_EQ(calls[25].kind, "complete");
    EXPECT_EQ(calls[25].plugin, Handle);
    EXPECT_EQ(reinterpret_cast<void *>(func_VEK_CMP_LINK), calls[22].function);
    EXPECT_EQ(reinterpret_cast<void *>(func_VEK_CMP_START), calls[23].function);
}

TEST(Registration, ARefusedComponentRegistersNothing)
{
    calls.clear();
    refuse = true;
    EXPECT_EQ(vek_component_registration(register_component, "x.so"), nullptr);
    EXPECT_TRUE(calls.empty());
    refuse = false;
}

std::vector<std::pair<std::string, std::string>> lookups;
int service_marker;

void *recording_lookup(const char *component, const char *interface)
{
    lookups.emplace_back(component, interface);
    return std::string(interface) == "VEK_BASE_SLEEP" ? static_cast<void *>(&service_marker) : nullptr;
}

TEST(Linking, LooksUpAll51ServicesInOrderAndStoresEveryResult)
{
    lookups.clear();
    vek_base_memset = reinterpret_cast<VEK_BASE_MEMSET_T>(&service_marker); // overwritten with null
    EXPECT_EQ(func_VEK_CMP_LINK(recording_lookup), 1);
    std::vector<std::string> expected;
#define EXPECTED(WORD, word) expected.push_back("VEK_BASE_" #WORD);
    VEK_BASE_SERVICES(EXPECTED)
#undef EXPECTED
    ASSERT_EQ(lookups.size(), 51u);
    for (size_t i = 0; i < lookups.size(); ++i) {
        EXPECT_EQ(lookups[i].first, "VEK_BASE");
        EXPECT_EQ(lookups[i].second, expected[i]);
    }
    EXPECT_EQ(lookups.front().second, "VEK_BASE_ADDR_TO_SYMBOL");
    EXPECT_EQ(lookups.back().second, "VEK_BASE_THREADSCHED_START");
    EXPECT_EQ(reinterpret_cast<void *>(vek_base_sleep), static_cast<void *>(&service_marker));
    EXPECT_EQ(vek_base_memset, nullptr);
}

std::vector<std::string> command_lines(const std::string &command)
{
    std::vector<std::string> lines;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return lines;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
            text.pop_back();
        lines.push_back(text);
    }
    pclose(pipe);
    return lines;
}

TEST(LibraryOutside, ExportsExactlyTheComponentsSymbols)
{
    std::set<std::string> expected = {"vek_component_registration", "tsci2_loopfilter_init",
                                      "tsci2_loopfilter_thread",    "os_gettime",
                                      "get_clock_resolution",       "tsci2_state",
                                      "tsci2_last_time",            "tsci2_last_offset",
                                      "tsci2_jitter",               "tsci2_stability",
                                      "tsci2_poll_factor",          "tsci2_poll_timer",
                                      "tsci2_hold_timer",           "yaltime_now_ns",
                                      "yaltime_tsc_to_ns"};
#define SLOT_NAME(WORD, word) expected.insert("vek_base_" #word);
    VEK_BASE_SERVICES(SLOT_NAME)
#undef SLOT_NAME
    ASSERT_EQ(expected.size(), 66u);

    ASSERT_TRUE(installed("nm")) << not_installed_message("nm");
    std::set<std::string> exported;
    for (const std::string &line : command_lines("nm -D --defined-only " YALTIME_LIBRARY_PATH)) {
        const size_t space = line.rfind(' ');
        exported.insert(line.substr(space + 1));
    }
    EXPECT_EQ(exported, expected);
}

TEST(LibraryOutside, NeedsOnlyLibcAndLibm)
{
    ASSERT_TRUE(installed("readelf")) << not_installed_message("readelf");
    std::vector<std::string> needed;
    for (const std::string &line : command_lines("readelf -d " YALTIME_LIBRARY_PATH)) {
        const size_t open = line.find("(NEEDED)");
        if (open != std::string::npos)
            needed.push_back(line.substr(line.find('[') + 1, line.find(']') - line.find('[') - 1));
    }
    ASSERT_FALSE(needed.empty());
    for (const std::string &library : needed) {
#ifdef YALTIME_SANITIZER_RUNTIME
        // An instrumented build also needs its sanitizer's runtime.
        if (library.rfind("libasan.so", 0) == 0 || library.rfind("libubsan.so", 0) == 0 ||
            library.rfind("libtsan.so", 0) == 0)
            continue;
#endif
        EXPECT_TRUE(library == "libc.so.6" || library == "libm.so.6") << library;
    }
}

} // namespace
