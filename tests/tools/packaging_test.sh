#!/bin/sh
# What packaging/ ships agrees with itself and with the tools: the alerting
# rules are valid for Debian's promtool, each alert is fired and kept silent
# by tests/tools/alert_rules_test.yml, every yaltime_* metric they name is
# one that yaltime-status writes; the metrics unit runs as the prometheus
# user and writes the file that the tmpfiles.d link in the textfile folder
# points at.  The example budget rule in docs/traceability.md passes
# promtool and tests/tools/utc_budget_test.yml too.
#
#   packaging_test.sh SOURCE_DIR
set -eu
src=$1
rules="$src/packaging/yaltime-alerts.rules.yml"
command -v promtool >/dev/null || { echo "promtool missing: run scripts/install-deps.sh" >&2; exit 1; }

promtool check rules "$rules"
promtool test rules "$src/tests/tools/alert_rules_test.yml"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed -n '/^```yaml$/,/^```$/p' "$src/docs/traceability.md" | sed '1d;$d' >"$work/budget.rules.yml"
cp "$src/tests/tools/utc_budget_test.yml" "$work/"
promtool check rules "$work/budget.rules.yml"
promtool test rules "$work/utc_budget_test.yml"

names=$(grep -ho 'yaltime_[a-z_]*' "$rules" "$work/budget.rules.yml" | grep -v '_bound_seconds$' | sort -u)
for metric in $names; do
    grep -q "\"$metric\"" "$src/tools/prometheus_format.cpp" ||
        { echo "the rules name $metric, which yaltime-status does not write" >&2; exit 1; }
done

unit="$src/packaging/yaltime-status-metrics.service"
output=$(sed -n 's/^ExecStart=.* --output \([^ ]*\).*/\1/p' "$unit")
link=$(awk '$1 == "L" && $2 ~ /node-exporter\/yaltime\.prom$/ { print $7 }' "$src/packaging/yaltime.tmpfiles.conf")
[ -n "$output" ] && [ "$output" = "$link" ] ||
    { echo "the unit writes '$output', the textfile folder's link points at '$link'" >&2; exit 1; }
grep -q '^User=prometheus$' "$unit" || { echo "$unit does not run as the prometheus user" >&2; exit 1; }
echo "1 passed, 0 failed"
