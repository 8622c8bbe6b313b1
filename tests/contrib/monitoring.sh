#!/bin/bash
# The ready-made monitoring in contrib/: the alert rules pass promtool's check
# and its unit tests, every query of the Grafana dashboard parses as PromQL,
# and every kelvantor series that rules and dashboard name is one the filter
# exports.  Skipped (77) where promtool is missing.
set -u -o pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
command -v promtool >/dev/null || { echo "SKIP: promtool is not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cd "$top/contrib/prometheus" || exit 1
promtool check rules kelvantor-alerts.yml >"$work/check.out" 2>&1 || fail "$(cat "$work/check.out")"
promtool test rules kelvantor-alerts.test.yml >"$work/test.out" 2>&1 || fail "$(cat "$work/test.out")"

# The dashboard's queries as recording rules, so that promtool parses each.
python3 - "$top/contrib/grafana/kelvantor-dashboard.json" >"$work/dashboard-rules.yml" <<'PY' ||
import json, sys
dashboard = json.load(open(sys.argv[1]))
print("groups:\n  - name: dashboard\n    rules:")
for panel in dashboard["panels"]:
    for target in panel["targets"]:
        expr = target["expr"].replace("$instance", ".*")
        print(f"      - record: dashboard:panel{panel['id']}:{target['refId']}")
        print(f"        expr: {json.dumps(expr)}")
PY
    fail "the dashboard is not valid JSON"
promtool check rules "$work/dashboard-rules.yml" >"$work/dash.out" 2>&1 ||
    fail "dashboard queries: $(cat "$work/dash.out")"

# Names used against names exported.
grep -ohE '"kelvantor_[a-z_]+"' "$top"/src/metrics/*.cpp | tr -d '"' | sort -u >"$work/exported"
cat "$top/contrib/prometheus/kelvantor-alerts.yml" "$top/contrib/grafana/kelvantor-dashboard.json" |
    grep -oE 'kelvantor_[a-z_]+' | sed -E 's/_(bucket|count|sum)$//' | sort -u >"$work/used"
missing=$(comm -23 "$work/used" "$work/exported")
[ -z "$missing" ] || fail "series used in contrib/ that the filter does not export: $missing"

if [ "$failures" -gt 0 ]; then
    echo "monitoring: $failures check(s) failed"
    exit 1
fi
echo "monitoring: rules, rule tests, dashboard queries and series names checked"
