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
#include <vector>

namespace {

std::string trimmed(const std::string &text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The processor brand string that CPUID gives this program; "" where the
// processor has none.
std::string cpuid_brand()
{
    unsigned regs[12] = {};
    if (__get_cpuid_max(0x80000000u, nullptr) < 0x80000004u)
        return "";
    for (unsigned leaf = 0; leaf < 3; ++leaf)
        __get_cpuid(0x80000002u + leaf, &regs[4 * leaf], &regs[4 * leaf + 1], &regs[4 * leaf + 2],
                    &regs[4 * leaf + 3]);
    char brand[sizeof regs + 1] = {};
    std::memcpy(brand, regs, sizeof regs);
    return trimmed(brand);
}

// What the kernel's /proc/cpuinfo says of the processors.
struct kernel_cpu_view {
    bool readable = false;
    bool has_x86_vendor = false; // a "vendor_id" line: the kernel is an x86 one
    std::vector<std::string> model_names; // every "model name" value
};

kernel_cpu_view kernel_cpu()
{
    kernel_cpu_view view;
    std::ifstream cpuinfo("/proc/cpuinfo");
    view.readable = cpuinfo.good();
    for (std::string line; std::getline(cpuinfo, line);) {
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string key = trimmed(line.substr(0, colon)), value = trimmed(line.substr(colon + 1));
        view.has_x86_vendor |= key == "vendor_id";
        if (key == "model name")
            view.model_names.push_back(value);
    }
    return view;
}

// True where an emulator runs this program's instructions.
bool runs_under_emulation()
{
    const kernel_cpu_view kernel = kernel_cpu();
    if (!kernel.readable)
        return false;
    if (!kernel.has_x86_vendor)
        return true;
    const std::string brand = cpuid_brand();
    if (brand.empty() || kernel.model_names.empty())
        return false;
    return std::find(kernel.model_names.begin(), kernel.model_names.end(), brand) == kernel.model_names.end();
}

[[maybe_unused]] const char *execution_kind() { return runs_under_emulation() ? "emulated" : "native"; }

} // namespace
