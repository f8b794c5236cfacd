#!/usr/bin/env bash
# The quantizer benchmark: each result as a ratio to the plain pass over the same image,
# measured in the same run (medians of 5 repetitions). Called by bench/run (suite
# "quantize") after the release build; extra arguments go to the benchmark program.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mktemp)
trap 'rm -f "$out"' EXIT
build/release/bench/quantize_bench --benchmark_format=json --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true "$@" >"$out"
/usr/bin/python3 - "$out" <<'PY'
import json, sys
rows = [b for b in json.load(open(sys.argv[1]))["benchmarks"]
        if b.get("aggregate_name", "median") == "median"]
name = lambda b: b["run_name"].split("/")[0]
times = {name(b): b["real_time"] for b in rows}
print(f"{'benchmark (median of 5)':32} {'time':>12} {'ratio':>8}  (to the plain pass over the same image)")
for b in rows:
    group = "_".join(name(b).split("_")[:2])
    ref = times.get(group + "_PlainPass")
    ratio = f"{b['real_time'] / ref:8.2f}" if ref else "       -"
    print(f"{name(b):32} {b['real_time']:10.2f}{b.get('time_unit', 'ns'):>2} {ratio}")
PY
