#!/bin/sh
# The alerting rules that ship in packaging/: valid for Debian's promtool,
# each alert fired and kept silent by tests/tools/alert_rules_test.yml, and
# every yaltime_* metric they name one that yaltime-status writes.
#
#   alert_rules_test.sh SOURCE_DIR
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
echo "alert rules: checked, unit-tested, metric names known"
