/*
 * vekhost_test.cpp - the vekhost program, run as a child process.
 */
#include <signal.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_test_support.h"

namespace {

using host_test::Child;
using host_test::fake;
using host_test::run;
using host_test::RunResult;

const std::pair<std::string, const char *> no_plugin_path{"VEK_PLUGIN_PATH", nullptr};
const std::pair<std::string, const char *> lib_plugin_path{"VEK_PLUGIN_PATH", HOST_LIB_DIR};

TEST(HostVekhost, HelpPrintsUsage)
{
    RunResult r = run({HOST_VEKHOST, "--help"});
    EXPECT_EQ(0, r.exit_code);
    EXPECT_EQ(0u, r.out.find("usage: vekhost [--arg NAME]... [--list] COMPONENT.so..."));
    EXPECT_NE(std::string::npos, r.out.find("VEK_PLUGIN_PATH"));
    EXPECT_EQ("", r.err);
}

TEST(HostVekhost, ListPrintsComponentsAndInterfacesInRegistrationOrder)
{
    RunResult r = run({HOST_VEKHOST, "--list", fake("lib-vek-fake_a.so")}, {no_plugin_path});
    EXPECT_EQ(0, r.exit_code) << r.err;
    EXPECT_EQ("FAKE_A " + fake("lib-vek-fake_a.so") +
                  "\n"
                  "  FAKE_A_HELLO\n"
                  "  FAKE_A_ADD\n"
                  "  VEK_CMP_LINK\n"
                  "  VEK_CMP_START\n"
                  "FAKE_B " +
                  fake("lib-vek-fake_b.so") +
                  "\n"
                  "  FAKE_B_HELLO\n"
                  "  FAKE_B_ADD\n"
                  "  VEK_CMP_LINK\n"
                  "  VEK_CMP_START\n",
              r.out);
    EXPECT_EQ("", r.err);
}

TEST(HostVekhost, ListDoesNotStartComponents)
{
    RunResult r = run({HOST_VEKHOST, "--list", "--arg", "fake_hello", fake("lib-vek-fake_base_user.so")},
                      {lib_plugin_path});
    EXPECT_EQ(0, r.exit_code) << r.err;
    EXPECT_EQ(0u, r.out.find("FAKE_BASE_USER "));
    EXPECT_NE(std::string::npos, r.out.find("\nVEK_BASE " HOST_VEK_BASE_LIBRARY "\n  VEK_BASE_BACKTRACE\n"));
    EXPECT_EQ(std::string::npos, r.out.find("started"));
}

TEST(HostVekhost, ListsTheYaltimeComponent)
{
    RunResult r = run({HOST_VEKHOST, "--list", HOST_YALTIME_LIBRARY}, {no_plugin_path});
    EXPECT_EQ(0, r.exit_code) << r.err;
    EXPECT_EQ(0u, r.out.find(std::string("YALTIME ") + HOST_YALTIME_LIBRARY + "\n  YALTIME_CLOCK_RESOLUTION\n"));
    EXPECT_NE(std::string::npos, r.out.find("\n  VEK_CMP_LINK\n  VEK_CMP_START\nVEK_BASE "));
}

TEST(HostVekhost, RunsUntilSigterm)
{
    Child child({HOST_VEKHOST, "--arg", "fake_hello", fake("lib-vek-fake_base_user.so")}, {lib_plugin_path});
    ASSERT_TRUE(child.read_until("vekhost: started FAKE_BASE_USER VEK_BASE", 30)) << child.out() << child.err();
    EXPECT_NE(std::string::npos, child.out().find("FAKE_BASE_USER started arg=yes\n"));
    kill(child.pid(), SIGTERM);
    EXPECT_EQ(0, child.wait(30));
    EXPECT_EQ("", child.err());
}

TEST(HostVekhost, RunsUntilSigintWithoutArgument)
{
    Child child({HOST_VEKHOST, fake("lib-vek-fake_base_user.so")}, {lib_plugin_path});
    ASSERT_TRUE(child.read_until("vekhost: started", 30)) << child.out() << child.err();
    EXPECT_NE(std::string::npos, child.out().find("FAKE_BASE_USER started arg=no\n"));
    kill(child.pid(), SIGINT);
    EXPECT_EQ(0, child.wait(30));
}

TEST(HostVekhost, LoadErrorsExitOneWithMessage)
{
    RunResult r = run({HOST_VEKHOST, "--list", fake("lib-vek-fake_missing_dep.so")}, {no_plugin_path});
    EXPECT_EQ(1, r.exit_code);
    EXPECT_EQ(0u, r.err.find("vekhost: component FAKE_MISSING_DEP"));
    EXPECT_NE(std::string::npos, r.err.find("FAKE_NOWHERE"));
    EXPECT_EQ("", r.out);

    r = run({HOST_VEKHOST, fake("lib-vek-fake_absent.so")});
    EXPECT_EQ(1, r.exit_code);
    EXPECT_EQ(0u, r.err.find("vekhost: cannot load component library"));
    EXPECT_NE(std::string::npos, r.err.find("lib-vek-fake_absent.so"));
}

TEST(HostVekhost, StartErrorsExitOne)
{
    RunResult r = run({HOST_VEKHOST, fake("lib-vek-fake_bad_link.so")});
    EXPECT_EQ(1, r.exit_code);
    EXPECT_EQ(0u, r.err.find("vekhost: component FAKE_BAD_LINK"));
}

TEST(HostVekhost, UsageErrorsExitOne)
{
    RunResult r = run({HOST_VEKHOST});
    EXPECT_EQ(1, r.exit_code);
    EXPECT_EQ(0u, r.err.find("vekhost: no component library given"));

    r = run({HOST_VEKHOST, "--bogus", fake("lib-vek-fake_b.so")});
    EXPECT_EQ(1, r.exit_code);
    EXPECT_EQ(0u, r.err.find("vekhost: unknown option --bogus"));

    r = run({HOST_VEKHOST, fake("lib-vek-fake_b.so"), "--arg"});
    EXPECT_EQ(1, r.exit_code);
    EXPECT_EQ(0u, r.err.find("vekhost: --arg needs a NAME"));
}

} // namespace
