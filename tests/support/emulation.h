// Whether this test program runs on the processor itself or under a
// user-mode CPU emulator.  Kernels built without IA32 emulation cannot
// execute i386 programs, and scripts/install-deps.sh then registers
// qemu-i386 with binfmt_misc, which interprets every instruction of them.
// qemu-user cannot carry some things a test exercises (a fork of a threaded
// process, TSC reads ordered with memory), and such a test skips where it
// runs so.
//
// The telling difference is which program the kernel runs.  Under a
// user-mode emulator the kernel executed the emulator, and /proc/self/exe
// names it; the emulator hides that by answering a read of the path
// "/proc/self/exe" with the emulated program.  A link read relative to a
// descriptor of /proc/self is not a path it recognises, so the two answers
// differ.  Neither the processor's name (a virtual machine's CPUID and
// /proc/cpuinfo may word it differently) nor the machine uname() reports
// decides anything.  As a second sign, an x86 Linux kernel maps a vDSO into
// every program it starts; an emulator's own loader may not.  Where /proc
// cannot be read, the program counts as native and its tests run.
#pragma once

#include <fcntl.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <string>

namespace {

// The target of the link `name` relative to `directory_fd` (AT_FDCWD for a
// path); "" where it cannot be read.
std::string link_target(int directory_fd, const char *name)
{
    char target[4096];
    const ssize_t length = readlinkat(directory_fd, name, target, sizeof target);
    return length > 0 && static_cast<size_t>(length) < sizeof target ? std::string(target, static_cast<size_t>(length))
                                                                      : std::string();
}

bool runs_under_emulation()
{
    const int self_fd = open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (self_fd < 0)
        return false;
    const std::string executed = link_target(self_fd, "exe");
    close(self_fd);
    const std::string shown = link_target(AT_FDCWD, "/proc/self/exe");
    const bool emulator_executed = !executed.empty() && !shown.empty() && executed != shown;
    return emulator_executed || getauxval(AT_SYSINFO_EHDR) == 0;
}

[[maybe_unused]] const char *execution_kind() { return runs_under_emulation() ? "emulated" : "native"; }

} // namespace
