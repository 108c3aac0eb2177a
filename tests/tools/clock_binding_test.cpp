/*
 * clock_binding_test.cpp - yaltime::clock in the program and in plug-ins
 * (clock_plugin.cpp built with hidden visibility, hidden inlines, both and
 * neither), each loaded with RTLD_LOCAL as a host loads components: every
 * one binds itself, when loaded after the component or through a lookup
 * given before the start, with no call after the start; each reads within
 * 100 us of the OS clock; and each unloads with dlclose.
 */
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "tests/host/host_test_support.h"
#include "public/yaltime_clock.hpp"

namespace {

/* The program itself or a loaded plug-in, asked the same four things. */
struct reader {
    std::string name;
    void *library; /* null for the program */
    bool (*bind)(VEK_LOOKUP_T);
    bool (*bound)();
    std::int64_t (*now_ns)();
    YALTIME_NOW_NS_T (*now_function)();
};

bool program_bind(VEK_LOOKUP_T lookup) { return yaltime::clock::bind(lookup); }
bool program_bound() { return yaltime::clock::bound(); }
std::int64_t program_now_ns() { return yaltime::clock::now().time_since_epoch().count(); }
YALTIME_NOW_NS_T program_now_function() { return yaltime::detail::bound_now_ns.load(); }

const reader PROGRAM = {"program", nullptr, program_bind, program_bound, program_now_ns, program_now_function};

reader load_plugin(const char *path)
{
    void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(nullptr, library) << dlerror();
    auto symbol = [&](const char *name) { return library != nullptr ? dlsym(library, name) : nullptr; };
    reader r{path,
             library,
             reinterpret_cast<bool (*)(VEK_LOOKUP_T)>(symbol("plugin_bind")),
             reinterpret_cast<bool (*)()>(symbol("plugin_bound")),
             reinterpret_cast<std::int64_t (*)()>(symbol("plugin_now_ns")),
             reinterpret_cast<YALTIME_NOW_NS_T (*)()>(symbol("plugin_now_function"))};
    EXPECT_TRUE(r.bind && r.bound && r.now_ns && r.now_function) << path;
    return r;
}

std::int64_t os_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/* How far the reader's clock lies outside a bracket of OS readings, the
 * least of 50 tries (a preempted try only widens its bracket). */
std::int64_t distance_from_os_ns(const reader &r)
{
    std::int64_t least = INT64_MAX;
    for (int i = 0; i < 50; ++i) {
        const std::int64_t before = os_ns();
        const std::int64_t t = r.now_ns();
        const std::int64_t after = os_ns();
        least = std::min(least, t < before ? before - t : t > after ? t - after : 0);
    }
    return least;
}

/* The component's yaltime_now_ns, which a bound clock calls. */
YALTIME_NOW_NS_T component_now_ns()
{
    void *library = dlopen(YALTIME_COMPONENT_LIBRARY, RTLD_LAZY | RTLD_NOLOAD);
    const auto now_ns = library != nullptr ? reinterpret_cast<YALTIME_NOW_NS_T>(dlsym(library, "yaltime_now_ns")) : nullptr;
    if (library != nullptr)
        dlclose(library);
    return now_ns;
}

/* Whether /proc/self/maps lists the file `path`. */
bool mapped(const char *path)
{
    char *real = realpath(path, nullptr);
    const std::string file = real != nullptr ? real : path;
    free(real);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.size() >= file.size() && line.compare(line.size() - file.size(), file.size(), file) == 0)
            return true;
    return false;
}

class YaltimeClockBinding : public host_test::HostTest {
protected:
    void create_local() { create({"yaltime_local"}); }
    host_test::ShmPrefix shm_;
};

/* Who learns where the component is, and how; after the start, with no
 * call, whether each reads it, and each within 100 us of the OS clock. */
TEST_F(YaltimeClockBinding, TheStartBindsEveryObjectThatKnowsTheComponent)
{
    const struct {
        const char *path; /* null: the program */
        bool loaded_before_component, binds_before_start, reads_component;
    } rows[] = {
        {nullptr, true, true, true},                          /* a host program: bind(vek_host_lookup) */
        {CLOCK_PLUGIN_HIDDEN, true, true, true},              /* a plug-in linking in its VEK_CMP_LINK */
        {CLOCK_PLUGIN_INLINES_HIDDEN, true, false, false},    /* nobody told it: the OS clock */
        {CLOCK_PLUGIN_BOTH_HIDDEN, false, false, true},       /* found when loaded */
        {CLOCK_PLUGIN_DEFAULT, false, false, true},           /* found when loaded */
    };
    std::vector<reader> readers(std::size(rows));
    auto load_rows = [&](bool before_component) {
        for (std::size_t i = 0; i < std::size(rows); ++i)
            if (rows[i].loaded_before_component == before_component)
                readers[i] = rows[i].path != nullptr ? load_plugin(rows[i].path) : PROGRAM;
    };
    load_rows(true);
    create_local();
    load(YALTIME_COMPONENT_LIBRARY);
    load_rows(false);
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        ASSERT_TRUE(readers[i].now_ns != nullptr) << i;
        if (rows[i].binds_before_start) {
            EXPECT_TRUE(readers[i].bind(&vek_host_lookup)) << readers[i].name;
        }
        EXPECT_FALSE(readers[i].bound()) << readers[i].name << ": the component has not started";
        EXPECT_LT(distance_from_os_ns(readers[i]), 500000000) << readers[i].name << " reads the OS clock";
    }

    start();
    const YALTIME_NOW_NS_T component_now = component_now_ns();
    ASSERT_NE(nullptr, component_now);
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const reader &r = readers[i];
        EXPECT_LT(distance_from_os_ns(r), 100000) << r.name;
        EXPECT_EQ(rows[i].reads_component, r.bound()) << r.name;
        EXPECT_EQ(rows[i].reads_component ? component_now : nullptr, r.now_function()) << r.name;
    }
}

/* Loaded after the start, bound with no call, unloaded by dlclose: gone
 * from the process's mappings, and fresh (bound again) when loaded again. */
TEST_F(YaltimeClockBinding, EveryPluginUnloadsWithDlclose)
{
    create_local();
    load(YALTIME_COMPONENT_LIBRARY);
    start();
    for (const char *path :
         {CLOCK_PLUGIN_HIDDEN, CLOCK_PLUGIN_INLINES_HIDDEN, CLOCK_PLUGIN_BOTH_HIDDEN, CLOCK_PLUGIN_DEFAULT}) {
        for (int round = 0; round < 2; ++round) {
            const reader r = load_plugin(path);
            ASSERT_TRUE(r.now_ns != nullptr) << path;
            EXPECT_TRUE(r.bound()) << path << " round " << round;
            EXPECT_LT(distance_from_os_ns(r), 100000) << path << " round " << round;
            ASSERT_TRUE(mapped(path)) << path;
            EXPECT_EQ(0, dlclose(r.library)) << dlerror();
            EXPECT_FALSE(mapped(path)) << path << " is still mapped after dlclose, round " << round;
        }
    }
}

} // namespace
