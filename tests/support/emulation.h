// Whether this test program runs on the processor itself or under a
// user-mode CPU emulator.  Kernels built without IA32 emulation cannot
// execute i386 programs, and scripts/install-deps.sh then registers
// qemu-i386 with binfmt_misc, which interprets every instruction of them.
// qemu-user cannot carry some things a test exercises (a fork of a threaded
// process), and such a test skips where it runs so.
//
// The telling difference: the emulator answers the CPUID instruction with a
// processor of its own ("QEMU TCG CPU version 2.5+"), while the kernel's
// /proc/cpuinfo names the machine's real processor.  On the processor
// itself, in a virtual machine too, both name the same one.  A kernel whose
// /proc/cpuinfo has no x86 vendor at all is not an x86 kernel, so an x86
// program on it is emulated.  Where the kernel says nothing (no
// /proc/cpuinfo), the program counts as native and its tests run.
#pragma once

#include <cpuid.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

namespace {

// The processor brand string that CPUID gives this program; "" where there is none.
std::string cpuid_brand()
{
    unsigned regs[13] = {};
    if (__get_cpuid_max(0x80000000u, nullptr) < 0x80000004u)
        return "";
    for (unsigned leaf = 0; leaf < 3; ++leaf)
        __get_cpuid(0x80000002u + leaf, &regs[4 * leaf], &regs[4 * leaf + 1], &regs[4 * leaf + 2], &regs[4 * leaf + 3]);
    std::string brand(reinterpret_cast<const char *>(regs));
    brand.erase(0, brand.find_first_not_of(' '));
    return brand.erase(brand.find_last_not_of(' ') + 1);
}

// True where an emulator runs this program's instructions: /proc/cpuinfo has
// no x86 vendor, or none of its model names is the brand CPUID gives.
bool runs_under_emulation()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    const std::string brand = cpuid_brand();
    bool x86 = false, brand_named = false, any_name = false;
    for (std::string line; std::getline(cpuinfo, line);) {
        x86 |= line.rfind("vendor_id", 0) == 0;
        if (line.rfind("model name", 0) == 0) {
            any_name = true;
            brand_named |= !brand.empty() && line.find(": " + brand) != std::string::npos;
        }
    }
    if (!cpuinfo.eof() && !x86)
        return false; // unreadable: counts as native
    return !x86 || (any_name && !brand.empty() && !brand_named);
}

[[maybe_unused]] const char *execution_kind() { return runs_under_emulation() ? "emulated" : "native"; }

} // namespace
