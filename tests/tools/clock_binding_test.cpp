/*
 * clock_binding_test.cpp - one binding of yaltime::clock for the whole
 * process: the program and three plug-ins (clock_plugin.cpp built with
 * hidden visibility, with hidden inlines, and with both), each loaded with
 * RTLD_LOCAL as a host loads components, read the system clock until any
 * one of them binds, or until the host starts YALTIME with nobody binding,
 * and YALTIME's clock in every one of them after.
 */
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/vek_host.h"
#include "public/yaltime_clock.hpp"

namespace {

/* The stand-in component's YALTIME_NOW: a time no system clock shows. */
constexpr double ANSWER_S = 1234567890.5;
YALTIME_SEC_T fake_now() { return ANSWER_S; }
void *fake_lookup(const char *component, const char *interface)
{
    return std::strcmp(component, YALTIME_CMP_NAME) == 0 && std::strcmp(interface, "YALTIME_NOW") == 0
               ? reinterpret_cast<void *>(&fake_now)
               : nullptr;
}

/* The program itself or a loaded plug-in, asked the same three things. */
struct reader {
    std::string name;
    bool (*bind)(VEK_LOOKUP_T);
    bool (*bound)();
    double (*now_s)();
    YALTIME_NOW_T (*now_function)();
};

bool program_bind(VEK_LOOKUP_T lookup) { return yaltime::clock::bind(lookup); }
bool program_bound() { return yaltime::clock::bound(); }
double program_now_s() { return yaltime::clock::now().time_since_epoch().count(); }
YALTIME_NOW_T program_now_function() { return yaltime::detail::clock_binding::now_function.load(); }

reader load(const char *path)
{
    void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(nullptr, library) << dlerror();
    auto symbol = [&](const char *name) { return library != nullptr ? dlsym(library, name) : nullptr; };
    reader r{path, reinterpret_cast<bool (*)(VEK_LOOKUP_T)>(symbol("plugin_bind")),
             reinterpret_cast<bool (*)()>(symbol("plugin_bound")), reinterpret_cast<double (*)()>(symbol("plugin_now_s")),
             reinterpret_cast<YALTIME_NOW_T (*)()>(symbol("plugin_now_function"))};
    EXPECT_TRUE(r.bind && r.bound && r.now_s && r.now_function) << path;
    return r;
}

double system_s()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

/* The program and the three plug-ins, none bound: CTest runs each test in
 * a process of its own. */
std::vector<reader> unbound_readers()
{
    std::vector<reader> readers = {{"program", program_bind, program_bound, program_now_s, program_now_function}};
    for (const char *path : {CLOCK_PLUGIN_HIDDEN, CLOCK_PLUGIN_INLINES_HIDDEN, CLOCK_PLUGIN_BOTH_HIDDEN})
        readers.push_back(load(path));
    for (const reader &r : readers) {
        if (!(r.bind && r.bound && r.now_s && r.now_function))
            return {};
        EXPECT_FALSE(r.bound()) << r.name << ": nobody has bound yet";
        EXPECT_NEAR(system_s(), r.now_s(), 5.0) << r.name;
    }
    return readers;
}

/* `binder` (an index) binds, and then every one of them reads YALTIME. */
void one_binding_for_all(std::size_t binder)
{
    std::vector<reader> readers = unbound_readers();
    ASSERT_EQ(4u, readers.size());
    /* One that finds no component leaves every clock as it was. */
    EXPECT_FALSE(readers[2].bind([](const char *, const char *) -> void * { return nullptr; }));
    for (const reader &r : readers)
        EXPECT_FALSE(r.bound()) << r.name;

    ASSERT_TRUE(readers[binder].bind(&fake_lookup)) << readers[binder].name;
    for (const reader &r : readers) {
        EXPECT_TRUE(r.bound()) << r.name << " after " << readers[binder].name << " bound";
        EXPECT_EQ(ANSWER_S, r.now_s()) << r.name << " reads YALTIME after " << readers[binder].name << " bound";
    }
}

TEST(YaltimeClock, APluginsBindingServesTheProgramAndEveryPlugin)
{
    one_binding_for_all(1);
}

TEST(YaltimeClock, TheProgramsBindingServesEveryLoadedPlugin)
{
    one_binding_for_all(0);
}

/* The host starts the real component and nobody binds: its YALTIME_NOW
 * is loaded but not adopted before the start, and read by every one after
 * (now() looks once a second; bound() at every call). */
TEST(YaltimeClock, AStartedComponentServesEveryLibraryWithoutABind)
{
    const char *args[] = {"yaltime_local"};
    char err[1024] = "";
    ASSERT_EQ(0, vek_host_create(args, 1, err, sizeof err)) << err;
    ASSERT_EQ(0, vek_host_load(YALTIME_COMPONENT_LIBRARY, err, sizeof err)) << err;
    std::vector<reader> readers = unbound_readers();
    ASSERT_EQ(4u, readers.size());
    const auto component_now = VEK_LOOKUP_IF(vek_host_lookup, YALTIME_CMP_NAME, YALTIME_NOW);
    ASSERT_NE(nullptr, component_now);

    ASSERT_EQ(0, vek_host_start(err, sizeof err)) << err;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (const reader &r : readers) {
        while (r.now_function() == nullptr && std::chrono::steady_clock::now() < deadline) {
            EXPECT_NEAR(system_s(), r.now_s(), 5.0) << r.name;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(component_now, r.now_function()) << r.name << "'s now() reads the component's YALTIME_NOW";
        EXPECT_NEAR(component_now(), r.now_s(), 1e-3) << r.name;
    }
    for (const reader &r : readers)
        EXPECT_TRUE(r.bound()) << r.name;
}

} // namespace
