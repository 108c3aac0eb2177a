/*
 * vekhost.cpp - the stand-in plug-in host program.
 *
 *   vekhost [--arg NAME]... [--list] COMPONENT.so...
 *
 * Loads each component library and its dependencies.  With --list it prints
 * every registered component ("NAME LIBRARY") and below it its interfaces
 * in registration order, indented by two spaces, and exits without linking
 * or starting anything.  Otherwise it links and starts all components and
 * runs until SIGINT or SIGTERM, then exits 0.  Errors: "vekhost: MESSAGE"
 * on stderr, exit status 1.
 */
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "host/vek_host.h"

namespace {

void usage(FILE *out)
{
    fprintf(out,
            "usage: vekhost [--arg NAME]... [--list] COMPONENT.so...\n"
            "\n"
            "Loads the component libraries and the libraries of their dependencies,\n"
            "links and starts every component, and runs until SIGINT or SIGTERM.\n"
            "\n"
            "  --arg NAME  start-up argument NAME (VEK_BASE's get_arg sees it); repeatable\n"
            "  --list      load and register only; print each component, its library\n"
            "              and its interfaces in registration order, then exit\n"
            "  --help      this text\n"
            "\n"
            "Dependencies are searched beside the component's library, then in the\n"
            "directories of VEK_PLUGIN_PATH (colon-separated), then in %s.\n",
            vek_host_plugin_dir());
}

int fail(const std::string &message)
{
    fprintf(stderr, "vekhost: %s\n", message.c_str());
    return 1;
}

void print_list()
{
    size_t n = vek_host_component_count();
    for (size_t c = 0; c < n; ++c) {
        printf("%s %s\n", vek_host_component_name(c), vek_host_component_library(c));
        size_t m = vek_host_interface_count(c);
        for (size_t i = 0; i < m; ++i)
            printf("  %s\n", vek_host_interface_name(c, i));
    }
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<const char *> args;
    std::vector<const char *> libraries;
    bool list = false;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (options && strcmp(a, "--") == 0) {
            options = false;
        } else if (options && (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0)) {
            usage(stdout);
            return 0;
        } else if (options && strcmp(a, "--list") == 0) {
            list = true;
        } else if (options && strcmp(a, "--arg") == 0) {
            if (i + 1 >= argc)
                return fail("--arg needs a NAME (see vekhost --help)");
            args.push_back(argv[++i]);
        } else if (options && strncmp(a, "--arg=", 6) == 0) {
            args.push_back(a + 6);
        } else if (options && a[0] == '-' && a[1] != '\0') {
            return fail(std::string("unknown option ") + a + " (see vekhost --help)");
        } else {
            libraries.push_back(a);
        }
    }
    if (libraries.empty())
        return fail("no component library given (see vekhost --help)");

    /* Component threads inherit this mask: the signals reach sigwait. */
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    if (!list)
        pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    char err[2048];
    if (vek_host_create(args.data(), args.size(), err, sizeof err) != 0)
        return fail(err);
    for (const char *library : libraries)
        if (vek_host_load(library, err, sizeof err) != 0)
            return fail(err);
    if (list) {
        print_list();
        return 0;
    }
    if (vek_host_start(err, sizeof err) != 0)
        return fail(err);

    printf("vekhost: started");
    for (size_t c = 0; c < vek_host_component_count(); ++c)
        printf(" %s", vek_host_component_name(c));
    printf(" (pid %d)\n", static_cast<int>(getpid()));
    fflush(stdout);

    int signal_number = 0;
    while (sigwait(&stop, &signal_number) != 0) {
    }
    fflush(stdout);
    fflush(stderr);
    /* Components' threads may still run: leave without running destructors. */
    _exit(0);
}
