#!/bin/sh
# Runs each named preset's tests (the presets already built), every one even
# after another failed, then prints a line per preset: "passed", or which of
# its tests failed.  Exits non-zero if any preset failed.
# Usage: scripts/test-presets.sh PRESET...
failed=""
summary=""
for preset in "$@"; do
    failed_list="build/$preset/Testing/Temporary/LastTestsFailed.log"
    rm -f "$failed_list"
    if ctest --preset "$preset" --no-tests=error; then
        line="passed"
    else
        failed="$failed $preset"
        # ctest lists each failed test as "NUMBER:NAME".
        if [ -s "$failed_list" ]; then
            line="FAILED: $(wc -l < "$failed_list") failed ($(cut -d: -f2- "$failed_list" | tr '\n' ' ' | sed 's/ $//'))"
        else
            line="FAILED: ctest could not run its tests"
        fi
    fi
    summary="$summary$preset: $line
"
done
printf '\ntests by preset:\n%s' "$summary"
[ -z "$failed" ] || { echo "failed presets:$failed"; exit 1; }
