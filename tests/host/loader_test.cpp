/*
 * loader_test.cpp - the host's loader (host/vek_host.h) with the fake
 * component libraries of fake_component.c and friends.
 */
#include <dlfcn.h>
#include <stdio.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/vek_host.h"
#include "host_test_support.h"

extern "C" {
int c_api_count_components(void);
void *c_api_lookup(const char *component, const char *interface);
int c_api_load_error(const char *path, char *err, size_t errlen);
}

namespace {

using host_test::fake;
using host_test::HostTest;
using host_test::ScopedEnv;

typedef void (*fake_recorder_t)(const char *event);
typedef void (*fake_set_recorder_t)(fake_recorder_t);
typedef const char *(*fake_hello_t)(void);
typedef int (*fake_add_t)(int, int);

std::vector<std::string> events;

void record(const char *event) { events.emplace_back(event); }

testing::AssertionResult contains(const std::string &text, const std::string &part)
{
    if (text.find(part) != std::string::npos)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << text << "\" does not contain \"" << part << "\"";
}

class HostLoader : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        events.clear();
    }
    /* Points the recorder of every registered fake component at events. */
    void record_all()
    {
        for (size_t i = 0; i < vek_host_component_count(); ++i) {
            void *dl = vek_host_library_handle(vek_host_component_name(i));
            ASSERT_NE(nullptr, dl);
            auto set = reinterpret_cast<fake_set_recorder_t>(dlsym(dl, "fake_set_recorder"));
            if (set != nullptr)
                set(record);
        }
    }
};

TEST_F(HostLoader, CreateTwiceFailsAndNothingWorksWithoutAHost)
{
    char err[256];
    EXPECT_EQ(-1, vek_host_load(fake("lib-vek-fake_b.so").c_str(), err, sizeof err));
    EXPECT_TRUE(contains(err, "vek_host_create"));
    EXPECT_EQ(-1, vek_host_start(err, sizeof err));
    EXPECT_EQ(nullptr, vek_host_lookup("FAKE_B", "FAKE_B_HELLO"));
    EXPECT_EQ(0u, vek_host_component_count());
    EXPECT_EQ(0, vek_host_exists());

    create();
    EXPECT_EQ(1, vek_host_exists());
    EXPECT_EQ(-1, vek_host_create(nullptr, 0, err, sizeof err));
    EXPECT_TRUE(contains(err, "one host per process"));
}

TEST_F(HostLoader, LoadsDependencyBesideAndRegistersInterfacesInOrder)
{
    create();
    load(fake("lib-vek-fake_a.so"));
    EXPECT_EQ((std::vector<std::string>{"FAKE_A", "FAKE_B"}), components());
    EXPECT_EQ((std::vector<std::string>{"FAKE_A_HELLO", "FAKE_A_ADD", "VEK_CMP_LINK", "VEK_CMP_START"}),
              interfaces("FAKE_A"));
    EXPECT_EQ(std::string(HOST_FAKE_DIR) + "/lib-vek-fake_b.so", vek_host_component_library(1));
    ASSERT_EQ(1u, vek_host_dependency_count(0));
    EXPECT_STREQ("FAKE_B", vek_host_dependency_name(0, 0));
    EXPECT_EQ(1, vek_host_dependency_loads(0, 0));
    EXPECT_EQ(0u, vek_host_dependency_count(1));

    auto add = reinterpret_cast<fake_add_t>(vek_host_lookup("FAKE_A", "FAKE_A_ADD"));
    ASSERT_NE(nullptr, add);
    EXPECT_EQ(5, add(2, 3));
    auto hello = reinterpret_cast<fake_hello_t>(vek_host_lookup("FAKE_B", "FAKE_B_HELLO"));
    ASSERT_NE(nullptr, hello);
    EXPECT_STREQ("beside", hello());
    EXPECT_EQ(nullptr, vek_host_lookup("FAKE_A", "FAKE_A_NOTHING"));
    EXPECT_EQ(nullptr, vek_host_lookup("FAKE_NOBODY", "FAKE_A_ADD"));
    EXPECT_EQ(nullptr, vek_host_lookup(nullptr, "FAKE_A_ADD"));
    EXPECT_EQ(nullptr, vek_host_lookup("FAKE_A", nullptr));
    EXPECT_EQ(nullptr, vek_host_component_name(2));
    EXPECT_EQ(nullptr, vek_host_interface_name(0, 4));
}

TEST_F(HostLoader, LinksEverythingDependenciesFirstThenStarts)
{
    create();
    load(fake("lib-vek-fake_a.so"));
    record_all();
    EXPECT_EQ(0, vek_host_component_started(0));
    start();
    EXPECT_EQ((std::vector<std::string>{"FAKE_B:LINK", "FAKE_A:LINK", "FAKE_B:START", "FAKE_A:START:beside"}),
              events);
    EXPECT_EQ(1, vek_host_component_started(0));
    EXPECT_EQ(1, vek_host_component_started(1));

    /* A second start calls nothing again. */
    start();
    EXPECT_EQ(4u, events.size());
}

TEST_F(HostLoader, StartsOnlyNewComponentsAfterMoreLoads)
{
    create();
    load(fake("lib-vek-fake_b.so"));
    record_all();
    start();
    EXPECT_EQ((std::vector<std::string>{"FAKE_B:LINK", "FAKE_B:START"}), events);
    load(fake("lib-vek-fake_a.so")); /* FAKE_B is there already: not loaded again */
    EXPECT_EQ((std::vector<std::string>{"FAKE_B", "FAKE_A"}), components());
    record_all();
    start();
    EXPECT_EQ((std::vector<std::string>{"FAKE_B:LINK", "FAKE_B:START", "FAKE_A:LINK", "FAKE_A:START:beside"}),
              events);
}

TEST_F(HostLoader, DependencyBesideTheComponentWinsOverPluginPath)
{
    ScopedEnv path(VEK_HOST_PLUGIN_PATH_ENV, HOST_FAKE_ALT_DIR);
    create();
    load(fake("lib-vek-fake_a.so"));
    auto hello = reinterpret_cast<fake_hello_t>(vek_host_lookup("FAKE_B", "FAKE_B_HELLO"));
    ASSERT_NE(nullptr, hello);
    EXPECT_STREQ("beside", hello());
}

TEST_F(HostLoader, DependencyFoundThroughPluginPath)
{
    /* Empty and missing entries are skipped. */
    ScopedEnv path(VEK_HOST_PLUGIN_PATH_ENV, "/nonexistent/vekhost::" HOST_FAKE_ALT_DIR ":" HOST_FAKE_DIR);
    create();
    load(std::string(HOST_FAKE_SOLO_DIR) + "/lib-vek-fake_a.so");
    EXPECT_EQ(std::string(HOST_FAKE_ALT_DIR) + "/lib-vek-fake_b.so", vek_host_component_library(1));
    record_all();
    start();
    EXPECT_EQ("FAKE_A:START:alt", events.back());
}

TEST_F(HostLoader, BareLibraryNameIsSearchedInPluginPath)
{
    ScopedEnv path(VEK_HOST_PLUGIN_PATH_ENV, HOST_FAKE_ALT_DIR);
    create();
    load("lib-vek-fake_b.so");
    EXPECT_EQ(std::string(HOST_FAKE_ALT_DIR) + "/lib-vek-fake_b.so", vek_host_component_library(0));
    std::string e = load_error("lib-vek-fake_nowhere.so");
    EXPECT_TRUE(contains(e, "'lib-vek-fake_nowhere.so' not found"));
    EXPECT_TRUE(contains(e, HOST_FAKE_ALT_DIR));
}

TEST_F(HostLoader, MissingDependencyNamesTheDependencyAndWhereItWasSought)
{
    create();
    std::string e = load_error(fake("lib-vek-fake_missing_dep.so"));
    EXPECT_TRUE(contains(e, "FAKE_MISSING_DEP"));
    EXPECT_TRUE(contains(e, "depends on FAKE_NOWHERE"));
    EXPECT_TRUE(contains(e, "lib-vek-fake_nowhere.so"));
    EXPECT_TRUE(contains(e, HOST_FAKE_DIR));
    EXPECT_TRUE(contains(e, "VEK_PLUGIN_PATH (not set)"));
    EXPECT_TRUE(contains(e, vek_host_plugin_dir()));
    EXPECT_EQ(0u, vek_host_component_count()) << "a failed load leaves the registry as it was";
}

TEST_F(HostLoader, MissingSolitaryDependencyWithoutPluginPath)
{
    create();
    std::string e = load_error(std::string(HOST_FAKE_SOLO_DIR) + "/lib-vek-fake_a.so");
    EXPECT_TRUE(contains(e, "depends on FAKE_B"));
    EXPECT_TRUE(contains(e, "lib-vek-fake_b.so"));
    EXPECT_EQ(0u, vek_host_component_count());
}

TEST_F(HostLoader, MissingLibraryFile)
{
    create();
    std::string e = load_error(fake("lib-vek-fake_absent.so"));
    EXPECT_TRUE(contains(e, fake("lib-vek-fake_absent.so")));
    EXPECT_TRUE(contains(e, "No such file"));
}

TEST_F(HostLoader, DlopenFailureCarriesDlerror)
{
    create();
    std::string e = load_error(fake("lib-vek-fake_unresolved.so"));
    EXPECT_TRUE(contains(e, "lib-vek-fake_unresolved.so"));
    EXPECT_TRUE(contains(e, "dlopen failed"));
    EXPECT_TRUE(contains(e, "fake_undefined_function")) << "dlerror's text names the symbol";

    /* A file that is no library at all. */
    char dir[] = "/tmp/vekhost_test_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    std::string garbage = std::string(dir) + "/lib-vek-garbage.so";
    std::ofstream(garbage) << "not an ELF file\n";
    e = load_error(garbage);
    EXPECT_TRUE(contains(e, garbage));
    EXPECT_TRUE(contains(e, "dlopen failed"));
    unlink(garbage.c_str());
    rmdir(dir);
}

TEST_F(HostLoader, MissingRegistrationSymbol)
{
    create();
    std::string e = load_error(fake("lib-vek-fake_nosym.so"));
    EXPECT_TRUE(contains(e, fake("lib-vek-fake_nosym.so")));
    EXPECT_TRUE(contains(e, "has no symbol vek_component_registration"));
}

TEST_F(HostLoader, ComponentThatRefusesItsRegistration)
{
    create();
    std::string e = load_error(fake("lib-vek-fake_refuse.so"));
    EXPECT_TRUE(contains(e, fake("lib-vek-fake_refuse.so")));
    EXPECT_TRUE(contains(e, "returned 0"));
    EXPECT_EQ(0u, vek_host_component_count());
}

TEST_F(HostLoader, ComponentThatNeverCompletesItsRegistration)
{
    create();
    std::string e = load_error(fake("lib-vek-fake_incomplete.so"));
    EXPECT_TRUE(contains(e, "FAKE_INCOMPLETE"));
    EXPECT_TRUE(contains(e, "did not complete"));
    EXPECT_EQ(0u, vek_host_component_count());
}

TEST_F(HostLoader, DuplicateComponentName)
{
    create();
    load(fake("lib-vek-fake_b.so"));
    std::string e = load_error(fake("lib-vek-fake_twin.so"));
    EXPECT_TRUE(contains(e, "lib-vek-fake_twin.so"));
    EXPECT_TRUE(contains(e, "FAKE_B is already registered"));
    EXPECT_TRUE(contains(e, "lib-vek-fake_b.so"));
    EXPECT_EQ((std::vector<std::string>{"FAKE_B"}), components());
    auto hello = reinterpret_cast<fake_hello_t>(vek_host_lookup("FAKE_B", "FAKE_B_HELLO"));
    EXPECT_STREQ("beside", hello());
}

TEST_F(HostLoader, ReservedHostName)
{
    create();
    std::string e = load_error(fake("lib-vek-fake_reserved.so"));
    EXPECT_TRUE(contains(e, "VEK_HOST"));
    EXPECT_TRUE(contains(e, "reserved"));
}

TEST_F(HostLoader, BrokenDependencyLibraryNamesBothAndRollsBack)
{
    create();
    load(fake("lib-vek-fake_b.so"));
    std::string e = load_error(fake("lib-vek-fake_broken_dep.so"));
    EXPECT_TRUE(contains(e, "dependency FAKE_NOSYM of component FAKE_BROKEN_DEP"));
    EXPECT_TRUE(contains(e, "has no symbol vek_component_registration"));
    EXPECT_EQ((std::vector<std::string>{"FAKE_B"}), components());

    e = load_error(fake("lib-vek-fake_wrong_dep.so"));
    EXPECT_TRUE(contains(e, "lib-vek-fake_misnamed.so"));
    EXPECT_TRUE(contains(e, "did not register component FAKE_MISNAMED"));
    EXPECT_EQ((std::vector<std::string>{"FAKE_B"}), components());

    /* The host goes on working after the failures. */
    load(fake("lib-vek-fake_a.so"));
    record_all();
    start();
    EXPECT_EQ("FAKE_A:START:beside", events.back());
}

TEST_F(HostLoader, SameLibraryTwiceIsLoadedOnce)
{
    create();
    load(fake("lib-vek-fake_b.so"));
    load(std::string(HOST_FAKE_DIR) + "/../plugins/lib-vek-fake_b.so");
    EXPECT_EQ((std::vector<std::string>{"FAKE_B"}), components());
}

TEST_F(HostLoader, OverrideReplacesAnInterfaceBeforeLinking)
{
    create();
    load(fake("lib-vek-fake_a.so"));
    static fake_hello_t original;
    fake_hello_t wrapper = []() -> const char * {
        static std::string text;
        text = std::string("wrapped ") + original();
        return text.c_str();
    };
    void *previous = nullptr;
    char err[512];
    ASSERT_EQ(0, vek_host_override("FAKE_B", "FAKE_B_HELLO", reinterpret_cast<void *>(wrapper), &previous, err,
                                   sizeof err))
        << err;
    original = reinterpret_cast<fake_hello_t>(previous);
    ASSERT_NE(nullptr, original);
    EXPECT_STREQ("beside", original());
    EXPECT_EQ(reinterpret_cast<void *>(wrapper), vek_host_lookup("FAKE_B", "FAKE_B_HELLO"));
    EXPECT_EQ(interfaces("FAKE_B")[0], "FAKE_B_HELLO") << "the interface keeps its place";

    record_all();
    start();
    EXPECT_EQ("FAKE_A:START:wrapped beside", events.back());

    /* A new interface goes to the end; unknown components are an error. */
    ASSERT_EQ(0, vek_host_override("FAKE_B", "FAKE_B_EXTRA", reinterpret_cast<void *>(wrapper), &previous, err,
                                   sizeof err));
    EXPECT_EQ(nullptr, previous);
    EXPECT_EQ("FAKE_B_EXTRA", interfaces("FAKE_B").back());
    EXPECT_EQ(-1, vek_host_override("FAKE_NOBODY", "FAKE_NOBODY_HELLO", nullptr, nullptr, err, sizeof err));
    EXPECT_TRUE(contains(err, "FAKE_NOBODY"));
}

TEST_F(HostLoader, NoLoadDependencyIsNotLoadedButStartsFirstWhenPresent)
{
    create();
    load(fake("lib-vek-fake_noload.so"));
    EXPECT_EQ((std::vector<std::string>{"FAKE_NOLOAD"}), components());
    ASSERT_EQ(1u, vek_host_dependency_count(0));
    EXPECT_EQ(0, vek_host_dependency_loads(0, 0));
    load(fake("lib-vek-fake_b.so"));
    record_all();
    start();
    EXPECT_EQ(
        (std::vector<std::string>{"FAKE_B:LINK", "FAKE_NOLOAD:LINK", "FAKE_B:START", "FAKE_NOLOAD:START"}),
        events);
}

TEST_F(HostLoader, DependencyCycleStartsEachOnce)
{
    create();
    load(fake("lib-vek-fake_x.so"));
    EXPECT_EQ((std::vector<std::string>{"FAKE_X", "FAKE_Y"}), components());
    record_all();
    start();
    EXPECT_EQ((std::vector<std::string>{"FAKE_Y:LINK", "FAKE_X:LINK", "FAKE_Y:START:plain", "FAKE_X:START:plain"}),
              events);
}

TEST_F(HostLoader, FailedLinkStopsTheStart)
{
    create();
    load(fake("lib-vek-fake_b.so"));
    load(fake("lib-vek-fake_bad_link.so"));
    record_all();
    char err[512];
    EXPECT_EQ(-1, vek_host_start(err, sizeof err));
    EXPECT_TRUE(contains(err, "FAKE_BAD_LINK"));
    EXPECT_TRUE(contains(err, "VEK_CMP_LINK returned 0"));
    EXPECT_EQ((std::vector<std::string>{"FAKE_B:LINK", "FAKE_BAD_LINK:LINK"}), events) << "no start after it";
    EXPECT_EQ(-1, vek_host_start(err, sizeof err)) << "and none later either";
}

TEST_F(HostLoader, LibraryHandleReachesExportedSymbols)
{
    create();
    load(fake("lib-vek-fake_a.so"));
    void *dl = vek_host_library_handle("FAKE_A");
    ASSERT_NE(nullptr, dl);
    EXPECT_NE(nullptr, dlsym(dl, "fake_set_recorder"));
    EXPECT_NE(dl, vek_host_library_handle("FAKE_B"));
    EXPECT_EQ(nullptr, vek_host_library_handle("FAKE_NOBODY"));
    EXPECT_EQ(nullptr, vek_host_library_handle(nullptr));
}

TEST_F(HostLoader, ArgumentsReachTheHostLookup)
{
    create({"yaltime_master", "other"});
    EXPECT_STREQ("yaltime_master", vek_host_get_arg("yaltime_master"));
    EXPECT_EQ(nullptr, vek_host_get_arg("yaltime_local"));
    EXPECT_EQ(nullptr, vek_host_get_arg(nullptr));
    auto get = reinterpret_cast<VEK_HOST_GET_ARG_T>(vek_host_lookup(VEK_HOST_CMP_NAME, "VEK_HOST_GET_ARG"));
    ASSERT_NE(nullptr, get);
    EXPECT_STREQ("other", get("other"));
    EXPECT_EQ(nullptr, vek_host_lookup(VEK_HOST_CMP_NAME, "VEK_HOST_NOTHING"));
}

TEST_F(HostLoader, ErrorMessagesAreTruncatedNotOverrun)
{
    create();
    char err[16];
    memset(err, 'x', sizeof err);
    EXPECT_EQ(-1, vek_host_load(fake("lib-vek-fake_nosym.so").c_str(), err, 8));
    EXPECT_EQ(7u, strlen(err));
    EXPECT_EQ('x', err[8]);
    EXPECT_EQ(-1, vek_host_load(fake("lib-vek-fake_nosym.so").c_str(), nullptr, 0));
}

TEST_F(HostLoader, CApiWorksFromC)
{
    create();
    char err[512];
    EXPECT_GT(c_api_load_error(fake("lib-vek-fake_nosym.so").c_str(), err, sizeof err), 0);
    EXPECT_TRUE(contains(err, "vek_component_registration"));
    load(fake("lib-vek-fake_a.so"));
    EXPECT_EQ(2, c_api_count_components());
    EXPECT_EQ(vek_host_lookup("FAKE_A", "FAKE_A_ADD"), c_api_lookup("FAKE_A", "FAKE_A_ADD"));
}

} // namespace
