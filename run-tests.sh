#!/bin/sh
# Builds every preset of YALTIME and runs every test, on a Debian 12 machine
# that may have nothing but git and this tree: first installs what is
# missing, make included (as root; otherwise it prints the apt-get line).
# Arguments go to make, for example PRESETS="x64 i386".
set -e
cd "$(dirname "$0")"
sh scripts/install-deps.sh
exec make test "$@"
