#!/bin/sh
# Installs the build into a temporary prefix, checks the layout, builds a C
# client and a C++ client (yaltime::clock) against it twice (find_package
# and pkg-config) and runs them, and runs the installed monitor, which must
# find the component on its own.
#
#   install_client_test.sh BUILD_DIR SOURCE_DIR C_COMPILER "ARCH_FLAGS" CXX_COMPILER
set -eu
build=$1 source=$2 cc=$3 arch=$4 cxx=$5

work=$(mktemp -d /tmp/yaltime_install_test_XXXXXX)
prefix="$work/prefix"
export VEK_SHM_PREFIX="yaltime_install_test_$$_"
trap 'rm -rf "$work"; rm -f /dev/shm/"$VEK_SHM_PREFIX"*' EXIT
unset VEK_PLUGIN_PATH

fail() { echo "FAIL: $*" >&2; exit 1; }
command -v pkg-config >/dev/null || fail "pkg-config is not installed: scripts/install-deps.sh installs it"

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

for f in lib/vek/lib-vek-yaltime.so lib/vek/lib-vek-vek_base.so lib/libvekhost_loader.a \
         bin/vekhost bin/yaltime-monitor bin/yaltime-status \
         include/yaltime/public/yaltime.h include/yaltime/public/vek.h include/yaltime/public/tsc.h \
         include/yaltime/public/yaltime_clock.hpp \
         lib/systemd/system/yaltime-status-metrics.service lib/systemd/system/yaltime-status-metrics.timer \
         include/yaltime/interface/yaltime.interface.h include/yaltime/interface/vek_base.interface.h \
         include/yaltime/host/vek_host.h \
         lib/cmake/yaltime/yaltimeConfig.cmake lib/cmake/yaltime/yaltimeConfigVersion.cmake \
         lib/pkgconfig/yaltime.pc lib/systemd/system/yaltime-master.service \
         lib/tmpfiles.d/yaltime.conf share/yaltime/prometheus/yaltime-alerts.rules.yml; do
    [ -e "$prefix/$f" ] || fail "$f not installed"
done
echo "layout ok"

# find_package
cmake -S "$source/tests/tools/install_client" -B "$work/client" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_C_FLAGS="$arch" -DCMAKE_CXX_FLAGS="$arch" -DCMAKE_EXE_LINKER_FLAGS="$arch" >"$work/client.log" 2>&1 ||
    { cat "$work/client.log"; fail "configuring the find_package client"; }
cmake --build "$work/client" >>"$work/client.log" 2>&1 || { cat "$work/client.log"; fail "building the find_package client"; }
out=$("$work/client/client" "$prefix/lib/vek/lib-vek-yaltime.so") || fail "find_package client: $out"
case "$out" in "YALTIME_NOW 2"*" +0") echo "find_package client: $out" ;; *) fail "find_package client printed '$out'" ;; esac
out=$("$work/client/clock_client" "$prefix/lib/vek/lib-vek-yaltime.so") || fail "find_package clock client: $out"
case "$out" in "yaltime::clock "*) echo "find_package clock client: $out" ;; *) fail "find_package clock client printed '$out'" ;; esac

# pkg-config
# shellcheck disable=SC2046,SC2086
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" "$cc" $arch "$source/tests/tools/install_client/client.c" -o "$work/client_pc" \
    $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs yaltime) -lm ||
    fail "building the pkg-config client"
out=$("$work/client_pc" "$prefix/lib/vek/lib-vek-yaltime.so") || fail "pkg-config client: $out"
case "$out" in "YALTIME_NOW 2"*" +0") echo "pkg-config client: $out" ;; *) fail "pkg-config client printed '$out'" ;; esac
# shellcheck disable=SC2046,SC2086
"$cxx" -std=c++17 $arch "$source/tests/tools/install_client/clock_client.cpp" -o "$work/clock_client_pc" \
    $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs yaltime) ||
    fail "building the pkg-config clock client"
out=$("$work/clock_client_pc" "$prefix/lib/vek/lib-vek-yaltime.so") || fail "pkg-config clock client: $out"
case "$out" in "yaltime::clock "*) echo "pkg-config clock client: $out" ;; *) fail "pkg-config clock client printed '$out'" ;; esac

# The installed monitor finds bin/../lib/vek/lib-vek-yaltime.so by itself.
out=$("$prefix/bin/yaltime-monitor" --local --seconds 1 --quiet) || fail "installed monitor: $out"
case "$out" in *"$prefix/bin/../lib/vek/lib-vek-yaltime.so as local-only"*"summary:"*) echo "installed monitor ok" ;;
    *) fail "installed monitor printed: $out" ;; esac
echo "1 passed, 0 failed"
