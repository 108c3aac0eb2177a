#!/bin/sh
# Installs the Debian 12 packages the build, the tests and the tools need.
# As root it installs what is missing; otherwise it prints the command.
set -e

# make drives the build; pkg-config and binutils (nm, readelf) are run by
# tests; python3 regenerates the fuzz seed corpus; qemu-user runs i386
# programs where the kernel cannot (below); prometheus-node-exporter serves
# the tools' metrics in a test, and prometheus brings promtool, which checks
# the alerting rules in packaging/.  strace traces a reader's system calls in
# OwnerFaults.AStaleAreaIsReadWithoutSystemCallsAndMappedAtMostTwice.  The
# other programs the tests start (timeout, unshare, mount, sh, sed, awk) are
# on every Debian system, a minimal one too.
PACKAGES="make cmake ninja-build g++ g++-multilib googletest libbenchmark-dev binutils pkg-config python3 clang libclang-rt-14-dev qemu-user prometheus-node-exporter prometheus strace"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    if [ "$(id -u)" -eq 0 ]; then
        echo "installing:$missing"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq $missing
    else
        echo "missing packages:$missing" >&2
        echo "run: sudo apt-get install -y$missing" >&2
        exit 1
    fi
fi

# 32-bit x86 programs: some kernels (virtual machines without IA32
# emulation) cannot execute them.  Then run them through qemu-user, which the
# kernel invokes for every i386 ELF once it is registered with binfmt_misc.
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
printf 'int main(void){return 0;}\n' > "$probe_dir/probe.c"
gcc -m32 "$probe_dir/probe.c" -o "$probe_dir/probe32"
if ! "$probe_dir/probe32" 2>/dev/null; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "this kernel cannot run i386 programs; as root, run scripts/install-deps.sh to register qemu-i386" >&2
        exit 1
    fi
    binfmt=/proc/sys/fs/binfmt_misc
    [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
    if [ ! -e "$binfmt/qemu-i386" ]; then
        printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' > "$binfmt/register"
    fi
    "$probe_dir/probe32" || { echo "i386 programs still cannot run" >&2; exit 1; }
    echo "i386 programs run through qemu-i386"
fi
