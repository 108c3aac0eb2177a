#!/bin/sh
# Builds YALTIME (x64) and runs its clock monitor, on a Debian 12 machine
# that may have nothing but git and this tree: first installs what is
# missing, make included (as root; otherwise it prints the apt-get line).
# Arguments go to make, for example RUN_SECONDS=600 RUN_ARGS="--master".
set -e
cd "$(dirname "$0")"
sh scripts/install-deps.sh
exec make run "$@"
