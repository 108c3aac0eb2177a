#!/bin/sh
# The clock's accuracy end to end on this machine: yaltime-probe --accuracy
# in up to eight processes at once, each measuring for SECONDS (default 900) and
# judged on the second half, and one table of what they saw.
#
#   tests/load/run_end_to_end.sh [BUILD_DIR] [SECONDS]    (default build/x64 900)
#
#   local, quiet       yaltime_local, the machine's clocks as they are  (case quiet)
#   the same, read     yaltime_local, quiet, each reading               (clock)
#   through the clock  yaltime::clock::now()
#   local, wandering   yaltime_local, both OS clocks' rate wandering     (wander)
#   owner, wandering   yaltime_master, the same wander                   (owner)
#   reader of owner    no argument: reads the owner's shared area, the same
#                      wander (started once the owner has started)     (owner)
#   local, slewed      yaltime_local, both OS clocks slewed as a time    (slew)
#                      daemon slews them
#   stalled owner      yaltime_master and a reader of it, one clock       (stall)
#                      slewed -83333 ppm for 3 s from a third of the run
#                      (30 s at least); the owner stopped (SIGSTOP) for
#                      15 s half a second into the slew: the reader leaves
#                      its area and comes back, and no conversion moves back
#
# E2E_CASES (default "quiet clock wander owner slew stall") picks the cases to run.
#
# The wander is the clock-shift preload library's random walk of the OS
# clocks' rate: every 64 s the rate changes by a normal draw of
# E2E_SIGMA_PPM (default 0.2) ppm, seeded by E2E_SEED (default 1).  The three
# wandering processes share one walk file, so they see one OS clock.  Each
# sample is the narrowest of 5 brackets yaltime_now_ns / clock_gettime /
# yaltime_now_ns, taken every E2E_EVERY (default 0.01) seconds, in integer
# nanoseconds; a thread converts one tick twice, 1 ms apart, through
# yaltime_tsc_to_ns and keeps the largest move back.
#
# The slew is the preload library's schedule (YALTIME_TEST_CLOCK_SLEW) of
# CLOCK_REALTIME and CLOCK_MONOTONIC, never CLOCK_MONOTONIC_RAW: +500 ppm
# for 20 s, -500 ppm for 20 s (adjtime's rate), +83333 ppm for 0.6 s,
# -83333 ppm for 0.6 s and for 3 s (chrony's fastest), beginning at a
# tenth, three tenths, half, 0.65 and 0.8 of the run, each at least 2 s
# after the one before.  Its error is large while a slew lasts; what counts
# is that no conversion moves back, over the whole run.
#
# The processes mostly sleep, so eight of them share two cores fairly.  Each
# has a VEK_SHM_PREFIX of its own (the owner and its reader one together);
# nothing is left behind.
set -eu

build=${1:-build/x64}
seconds=${2:-900}
sigma=${E2E_SIGMA_PPM:-0.2}
seed=${E2E_SEED:-1}
every=${E2E_EVERY:-0.01}
cases=${E2E_CASES:-quiet clock wander owner slew stall}
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

wanted() { # CASE: whether E2E_CASES names it
    case " $cases " in *" $1 "*) return 0 ;; esac
    return 1
}

slew_schedule() { # SECONDS: the slews spread over the run, "0:GAP,PPM:S,..."
    awk -v run="$1" 'BEGIN {
        n = split("500:20 -500:20 83333:0.6 -83333:0.6 -83333:3", slews, " ")
        split("0.1 0.3 0.5 0.65 0.8", begins, " ")
        t = 0
        for (i = 1; i <= n; i++) {
            split(slews[i], part, ":")
            gap = begins[i] * run - t
            if (gap < 2) gap = 2
            printf "%s0:%.3f,%s", (i > 1 ? "," : ""), gap, slews[i]
            t += gap + part[2]
        }
    }'
}
slews=$(slew_schedule "$seconds")
stall_at=$(awk -v run="$seconds" 'BEGIN { printf "%.3f", run / 3 < 30 ? 30 : run / 3 }')

run() { # NAME PREFIX CLOCKS(wander|slew|no) [PROBE ARGS...]
    name=$1 prefix=$2 clocks=$3
    shift 3
    if [ "$clocks" = wander ]; then
        VEK_SHM_PREFIX="$prefix" LD_PRELOAD="$preload" YALTIME_TEST_CLOCK_WANDER_FILE="$work/walk" \
            YALTIME_TEST_CLOCK_WANDER_PPM="$sigma" YALTIME_TEST_CLOCK_WANDER_SEED="$seed" \
            "$probe" "$@" --accuracy --every "$every" --for "$seconds" "$library" >"$work/$name.out" 2>"$work/$name.err" &
    elif [ "$clocks" = stall ]; then
        VEK_SHM_PREFIX="$prefix" LD_PRELOAD="$preload" YALTIME_TEST_CLOCK_SLEW="0:$stall_at,-83333:3" \
            YALTIME_TEST_CLOCK_SLEW_FILE="$work/stall_slew" \
            "$probe" "$@" --accuracy --every "$every" --for "$seconds" "$library" >"$work/$name.out" 2>"$work/$name.err" &
    elif [ "$clocks" = slew ]; then
        VEK_SHM_PREFIX="$prefix" LD_PRELOAD="$preload" YALTIME_TEST_CLOCK_SLEW="$slews" \
            "$probe" "$@" --accuracy --every "$every" --for "$seconds" "$library" >"$work/$name.out" 2>"$work/$name.err" &
    else
        VEK_SHM_PREFIX="$prefix" \
            "$probe" "$@" --accuracy --every "$every" --for "$seconds" "$library" >"$work/$name.out" 2>"$work/$name.err" &
    fi
    pids="$pids $!"
}

echo "measuring $cases for $seconds s (wander sigma $sigma ppm every 64 s, seed $seed; slews $slews) ..." >&2
wanted quiet && run local_quiet "${tag}lq_" no --arg yaltime_local
wanted clock && run local_clock "${tag}lc_" no --arg yaltime_local --through-clock
wanted wander && run local_wander "${tag}lw_" wander --arg yaltime_local
wanted slew && run local_slew "${tag}ls_" slew --arg yaltime_local
until_started() { # NAME: waits for the probe's "started" line
    tries=0
    until grep -q '^started' "$work/$1.out" 2>/dev/null; do
        tries=$((tries + 1))
        if [ "$tries" -ge 60 ]; then
            cat "$work/$1.err" >&2
            echo "run_end_to_end: $1 never started" >&2
            exit 1
        fi
        sleep 1
    done
}
if wanted owner; then
    run owner_wander "${tag}ow_" wander --arg yaltime_master
    until_started owner_wander
    run reader_wander "${tag}ow_" wander
fi
if wanted stall; then
    # The slew's schedule starts at the owner's start (its preload writes the file).
    start_s=$(date +%s.%N)
    run owner_stalled "${tag}st_" stall --arg yaltime_master
    owner=$!
    until_started owner_stalled
    run reader_stalled "${tag}st_" stall
    (
        sleep "$(awk -v t0="$start_s" -v at="$stall_at" -v now="$(date +%s.%N)" 'BEGIN { d = t0 + at + 0.5 - now; print (d > 0 ? d : 0) }')"
        kill -STOP "$owner"
        sleep 15
        kill -CONT "$owner"
    ) &
    pids="$pids $!"
fi
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
echo "|error| of yaltime_now_ns against clock_gettime(CLOCK_REALTIME), in ns (the narrowest of 5 brackets now_ns / clock_gettime / now_ns);"
echo "back: largest move back of one tick converted twice 1 ms apart by yaltime_tsc_to_ns; reading back: of a thread's reading against the one before"
echo
echo "| case | code | samples | p50 | p99 | max | mean | bracket p50 / p99 | back | reading back | steps | p99 target | back target |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|"
row() { # NAME LABEL P99_TARGET_NS(- for none) BACK_FIELD [MAX_FIELD]
    awk -v label="$2" -v target="$3" -v back_field="$4" -v max_field="${5:-max_ns}" '
    /^accuracy / {
        for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
        back = f[back_field]; reading = f["reading_back_max_ns"]
        p99 = target == "-" ? "-" : "<= " target " " (f["p99_ns"] <= target + 0 ? "ok" : "MISSED")
        printf "| %s | %s | %s | %d | %d | %d | %+.1f | %d / %d | %d | %d | %s | %s | <= 1 %s |\n", label, f["code"],
            f["judged"], f["p50_ns"], f["p99_ns"], f[max_field], f["mean_ns"], f["width_p50_ns"], f["width_p99_ns"],
            back, reading, f["steps"], p99, (back <= 1 && reading <= 1 ? "ok" : "MISSED")
        found = 1
    }
    END { if (!found) printf "| %s | no result |\n", label }' "$work/$1.out"
}
# A walk of 0.2 ppm keeps p99 within 50 ns, a wider one within 100 ns.
wander_target=$(awk -v s="$sigma" 'BEGIN { print (s <= 0.2 ? 50 : 100) }')
wanted quiet && row local_quiet "local-only, quiet" 20 back_max_ns
wanted clock && row local_clock "local-only, quiet, through yaltime::clock" 20 back_max_ns
wanted wander && row local_wander "local-only, wander $sigma ppm / 64 s" "$wander_target" back_max_ns
wanted owner && row owner_wander "owner, wander $sigma ppm / 64 s" "$wander_target" back_max_ns
wanted owner && row reader_wander "reader of that owner" "$wander_target" back_max_ns
wanted slew && row local_slew "local-only, slewed (back: whole run)" - back_max_all_ns
wanted stall && row owner_stalled "owner stopped 15 s in a -83333 ppm slew (max, back: whole run)" - back_max_all_ns max_all_ns
wanted stall && row reader_stalled "reader of that owner (max, back: whole run)" - back_max_all_ns max_all_ns
echo
echo "codes: 1 owner, 2 reader of the shared area, 3 own calibration; back: second half (whole run in the probes' output),"
echo "the slewed and stalled cases' over the whole run; reading back: whole run; its slews: $slews (ppm:seconds);"
echo "the stalled owner's slew: -83333 ppm for 3 s from $stall_at s, the owner stopped from 0.5 s into it for 15 s"
