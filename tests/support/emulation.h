// Whether this test program runs on the processor itself or under a
// user-mode CPU emulator.  Kernels built without IA32 emulation cannot
// execute i386 programs, and scripts/install-deps.sh then registers
// qemu-i386 with binfmt_misc, which interprets every instruction of them.
// qemu-user cannot carry some things a test exercises (a fork of a threaded
// process, TSC reads ordered with memory), and such a test skips there.
//
// Told by which program the kernel runs, never by what the processor is
// called: under an emulator the kernel runs the emulator, which answers a
// read of the path "/proc/self/exe" with the emulated program; read
// relative to a descriptor of /proc/self, the link names the emulator.  An
// x86 Linux kernel also maps a vDSO into every program it starts, and an
// emulator's own loader may not.  Without /proc the program counts as native.
#pragma once

#include <fcntl.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <string>

namespace {

bool runs_under_emulation()
{
    char executed[4096] = {}, shown[4096] = {};
    const int self_fd = open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (self_fd < 0)
        return false;
    const bool read = readlinkat(self_fd, "exe", executed, sizeof executed - 1) > 0 &&
                      readlink("/proc/self/exe", shown, sizeof shown - 1) > 0;
    close(self_fd);
    return (read && std::string(executed) != shown) || getauxval(AT_SYSINFO_EHDR) == 0;
}

[[maybe_unused]] const char *execution_kind() { return runs_under_emulation() ? "emulated" : "native"; }

} // namespace
