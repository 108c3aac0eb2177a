#!/bin/sh
# The clock's accuracy end to end on this machine: yaltime-probe --accuracy
# in four processes at once, each measuring for SECONDS (default 900) and
# judged on the second half, and one table of what they saw.
#
#   tests/load/run_end_to_end.sh [BUILD_DIR] [SECONDS]    (default build/x64 900)
#
#   local, quiet       yaltime_local, the machine's clocks as they are
#   local, wandering   yaltime_local, both OS clocks' rate wandering
#   owner, wandering   yaltime_master, the same wander
#   reader of owner    no argument: reads the owner's shared area, the same
#                      wander (started once the owner has started)
#
# The wander is the clock-shift preload library's random walk of the OS
# clocks' rate: every 64 s the rate changes by a normal draw of
# E2E_SIGMA_PPM (default 0.2) ppm, seeded by E2E_SEED (default 1).  The three
# wandering processes share one walk file, so they see one OS clock.  Each
# sample is the narrowest of 5 brackets rdtsc / clock_gettime / rdtsc, taken
# every E2E_EVERY (default 0.2) seconds; a thread converts one tick twice,
# 1 ms apart, and keeps the largest move back.  The processes mostly sleep,
# so four of them share two cores fairly.  Each has a VEK_SHM_PREFIX of its
# own (the owner and its reader one together); nothing is left behind.
set -eu

build=${1:-build/x64}
seconds=${2:-900}
sigma=${E2E_SIGMA_PPM:-0.2}
seed=${E2E_SEED:-1}
every=${E2E_EVERY:-0.2}
probe="$build/bin/yaltime_probe"
library="$build/lib/lib-vek-yaltime.so"
preload="$build/lib/libyaltime_clock_shift.so"
for f in "$probe" "$library" "$preload"; do
    [ -e "$f" ] || { echo "run_end_to_end: $f missing; build the preset first" >&2; exit 1; }
done
# LD_PRELOAD wants a path the loader finds from any directory.
preload=$(cd "$(dirname "$preload")" && pwd)/$(basename "$preload")

tag="yaltime_e2e_$$_"
work=$(mktemp -d)
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    rm -f /dev/shm/"$tag"*
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

run() { # NAME PREFIX WANDER(yes|no) [PROBE ARGS...]
    name=$1 prefix=$2 wander=$3
    shift 3
    if [ "$wander" = yes ]; then
        VEK_SHM_PREFIX="$prefix" LD_PRELOAD="$preload" YALTIME_TEST_CLOCK_WANDER_FILE="$work/walk" \
            YALTIME_TEST_CLOCK_WANDER_PPM="$sigma" YALTIME_TEST_CLOCK_WANDER_SEED="$seed" \
            "$probe" "$@" --accuracy --every "$every" --for "$seconds" "$library" >"$work/$name.out" 2>"$work/$name.err" &
    else
        VEK_SHM_PREFIX="$prefix" \
            "$probe" "$@" --accuracy --every "$every" --for "$seconds" "$library" >"$work/$name.out" 2>"$work/$name.err" &
    fi
    pids="$pids $!"
}

echo "measuring for $seconds s (wander sigma $sigma ppm every 64 s, seed $seed) ..." >&2
run local_quiet "${tag}lq_" no --arg yaltime_local
run local_wander "${tag}lw_" yes --arg yaltime_local
run owner_wander "${tag}ow_" yes --arg yaltime_master
tries=0
until grep -q '^started' "$work/owner_wander.out" 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -ge 60 ]; then
        cat "$work/owner_wander.err" >&2
        echo "run_end_to_end: the owner never started" >&2
        exit 1
    fi
    sleep 1
done
run reader_wander "${tag}ow_" yes

failed=0
for p in $pids; do wait "$p" || failed=1; done
pids=""
if [ "$failed" -ne 0 ]; then
    for f in "$work"/*.err; do cat "$f" >&2; done
    echo "run_end_to_end: a probe failed" >&2
    exit 1
fi

cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo "End to end, $seconds s per case judged on the second half, on $(nproc) CPUs of ${cpu:-an unnamed CPU};"
echo "|error| of YALTIME_TSC_TO_NOW against clock_gettime(CLOCK_REALTIME), in us; back: largest move back of one tick converted twice 1 ms apart"
echo
echo "| case | code | samples | p50 | p99 | max | mean | bracket ns | back | steps | p99 target | back target |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|"
row() { # NAME LABEL P99_TARGET
    awk -v label="$2" -v target="$3" '
    /^accuracy / {
        for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        printf "| %s | %s | %s | %.3f | %.3f | %.3f | %+.3f | %s | %.3f | %s | %s %s | <= 0.25 %s |\n", label, f["code"],
            f["judged"], f["p50_us"], f["p99_us"], f["max_us"], f["mean_us"], f["width_p50_ns"], f["back_max_us"],
            f["steps"], "<= " target, (f["p99_us"] <= target ? "ok" : "MISSED"), (f["back_max_us"] <= 0.25 ? "ok" : "MISSED")
        found = 1
    }
    END { if (!found) printf "| %s | no result |\n", label }' "$work/$1.out"
}
row local_quiet "local-only, quiet" 0.5
row local_wander "local-only, wander $sigma ppm / 64 s" 1
row owner_wander "owner, wander $sigma ppm / 64 s" 1
row reader_wander "reader of that owner" 1
echo
echo "codes: 1 owner, 2 reader of the shared area, 3 own calibration; back: second half (whole run in the probes' output)"
