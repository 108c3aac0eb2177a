#!/bin/sh
# The reading path's instructions, as a listing two builds can be diffed by:
# the entry points that read the clock (YALTIME_NOW, YALTIME_TSC_TO_NOW,
# YALTIME_GET_CURRENT_USEC, YALTIME_NOW_NTP, YALTIME_NOW_FRAME), with
# everything they inline, and the functions they call directly (the first
# choice of a calibration, the failure path), disassembled by objdump from
# the component of a build.  Normalised so that only the code counts, not
# where the linker put it: addresses go, calls and jumps keep their target's
# name (and the offset inside a function), RIP-relative displacements keep
# only the symbol objdump names (when it names one exactly; constants and
# GOT slots it names by a neighbour's offset, which moves), and on i386 the
# offsets from the GOT pointer a get_pc_thunk loaded are masked.
#
#   bench/reading_path.sh BUILD_DIR        print the listing of BUILD_DIR
#   bench/reading_path.sh --check          diff build/x64 and build/i386 with
#                                          bench/reading_path.{x64,i386}.txt
#   bench/reading_path.sh --update         write those references anew
#
# --check exits 1 when a listing differs from its reference, and shows the diff.
set -eu

here=$(dirname "$0")
ROOTS="func_YALTIME_NOW func_YALTIME_TSC_TO_NOW func_YALTIME_GET_CURRENT_USEC func_YALTIME_NOW_NTP func_YALTIME_NOW_FRAME"

disassemble() { # LIBRARY SYMBOL...
    library=$1
    shift
    for sym in "$@"; do
        objdump -d --no-show-raw-insn --disassemble="$sym" "$library" | sed -n '/^[0-9a-f]* <.*>:$/,$p'
    done
}

# Local functions the listing calls or jumps to, other than its own and PLT entries.
callees() {
    sed -n 's/.*\(call\|jmp\)[a-z]* *[0-9a-f]* <\([^>+@]*\)>$/\2/p' | grep -v '^__x86\.get_pc_thunk' | sort -u
}

normalise() {
    awk '
    /^[0-9a-f]+ <.*>:$/ { sub(/^[0-9a-f]+ /, ""); if (NR > 1) print ""; print; got = ""; next }
    /^ *[0-9a-f]+:\t/ {
        sub(/^ *[0-9a-f]+:\t/, "")
        gsub(/[ \t]+$/, "")
        if ($0 ~ /get_pc_thunk\./) { got = $0; sub(/.*get_pc_thunk\./, "", got); sub(/>.*/, "", got); got = "%e" got }
        gsub(/ [0-9a-f]+ </, " <")                        # call/jmp targets: the name only
        gsub(/-?0x[0-9a-f]+\(%rip\)/, "RIP(%rip)")          # RIP-relative: the symbol in the comment
        gsub(/# [0-9a-f]+ </, "# <")
        if ($0 ~ /# <[^>]*[-+]0x[0-9a-f]+>/) sub(/# <[^>]*>/, "# <nearby>")  # a constant or GOT slot: no name of its own
        if (got != "") {
            gsub("-?0x[0-9a-f]+\\(" got, "GOT(" got)
            if ($0 ~ ("^add +\\$0x[0-9a-f]+," got "$")) sub(/\$0x[0-9a-f]+/, "$GOT")
        }
        print
    }'
}

listing() { # BUILD_DIR
    library="$1/lib/lib-vek-yaltime.so"
    [ -e "$library" ] || { echo "reading_path: $library missing; build that preset first" >&2; exit 1; }
    # shellcheck disable=SC2086
    roots=$(disassemble "$library" $ROOTS)
    # shellcheck disable=SC2046
    called=$(printf '%s\n' "$roots" | callees | grep -vxF "$(printf '%s\n' $ROOTS)" || true)
    # shellcheck disable=SC2086
    { printf '%s\n' "$roots"; [ -z "$called" ] || disassemble "$library" $called; } | normalise
}

case "${1:-}" in
--check | --update)
    status=0
    for arch in x64 i386; do
        reference="$here/reading_path.$arch.txt"
        if [ "$1" = --update ]; then
            listing "build/$arch" >"$reference"
            echo "wrote $reference"
        elif listing "build/$arch" | diff -u "$reference" -; then
            echo "reading path of build/$arch: as in $reference"
        else
            echo "reading path of build/$arch: DIFFERS from $reference" >&2
            status=1
        fi
    done
    exit $status
    ;;
'' | -*)
    echo "usage: bench/reading_path.sh BUILD_DIR | --check | --update" >&2
    exit 2
    ;;
*) listing "$1" ;;
esac
