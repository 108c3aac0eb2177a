#!/bin/sh
# What packaging/ ships agrees with itself and with the tools: the alerting
# rules are valid for Debian's promtool, each alert is fired and kept silent
# by tests/tools/alert_rules_test.yml, every yaltime_* metric they name is
# one that yaltime-status writes; the metrics unit runs as the prometheus
# user and writes the file that the tmpfiles.d link in the textfile folder
# points at.
#
#   packaging_test.sh SOURCE_DIR
set -eu
src=$1
rules="$src/packaging/yaltime-alerts.rules.yml"
command -v promtool >/dev/null || { echo "promtool missing: run scripts/install-deps.sh" >&2; exit 1; }

promtool check rules "$rules"
promtool test rules "$src/tests/tools/alert_rules_test.yml"

for metric in $(grep -o 'yaltime_[a-z_]*' "$rules" | sort -u); do
    grep -q "\"$metric\"" "$src/tools/prometheus_format.cpp" ||
        { echo "$rules names $metric, which yaltime-status does not write" >&2; exit 1; }
done
unit="$src/packaging/yaltime-status-metrics.service"
output=$(sed -n 's/^ExecStart=.* --output \([^ ]*\).*/\1/p' "$unit")
link=$(awk '$1 == "L" && $2 ~ /node-exporter\/yaltime\.prom$/ { print $7 }' "$src/packaging/yaltime.tmpfiles.conf")
[ -n "$output" ] && [ "$output" = "$link" ] ||
    { echo "the unit writes '$output', the textfile folder's link points at '$link'" >&2; exit 1; }
grep -q '^User=prometheus$' "$unit" || { echo "$unit does not run as the prometheus user" >&2; exit 1; }
echo "1 passed, 0 failed"
