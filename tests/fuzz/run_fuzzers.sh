#!/bin/sh
# run_fuzzers.sh BUILD_DIR SECONDS - runs every fuzz target of a fuzz build
# for SECONDS each, starting from its committed seed corpus.  What a run
# adds to the corpus stays in BUILD_DIR/fuzz-corpus/<target>; a crash or a
# broken property leaves its input in BUILD_DIR/fuzz-findings/<target>/ and
# makes the script fail.  Each target's last status line (executions,
# coverage, corpus size) is printed.
set -eu

build=${1:?usage: run_fuzzers.sh BUILD_DIR SECONDS}
seconds=${2:-60}
seeds=$(cd "$(dirname "$0")" && pwd)/corpus
failed=""

for fuzzer in "$build"/bin/fuzz_*; do
    [ -x "$fuzzer" ] || continue
    name=$(basename "$fuzzer")
    corpus="$build/fuzz-corpus/$name"
    findings="$build/fuzz-findings/$name"
    log="$build/fuzz-$name.log"
    mkdir -p "$corpus" "$findings"
    echo "== $name: $seconds s"
    if "$fuzzer" "$corpus" "$seeds/$name" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$findings/" >"$log" 2>&1; then
        grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1
        grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$log"
    else
        failed="$failed $name"
        grep -E 'property broken|runtime error|ERROR:|SUMMARY' "$log" | head -5
        echo "   input saved in $findings/, full log in $log"
    fi
done

if [ -n "$failed" ]; then
    echo "fuzzing found faults in:$failed" >&2
    exit 1
fi
