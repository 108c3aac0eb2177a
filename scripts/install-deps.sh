#!/bin/sh
# Installs the Debian 12 packages the build, the tests and the tools need.
# As root it installs what is missing; otherwise it prints the command.
set -e

PACKAGES="cmake ninja-build make g++ g++-multilib googletest libbenchmark-dev binutils clang libclang-rt-14-dev"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

[ -z "$missing" ] && exit 0

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
