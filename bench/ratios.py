#!/usr/bin/env python3
"""Prints Google Benchmark JSON results as times and ratios to a reference benchmark."""
import json
import sys


def main():
    path, reference = sys.argv[1], sys.argv[2]
    with open(path) as f:
        data = json.load(f)
    rows = [b for b in data["benchmarks"] if b.get("run_type", "iteration") == "iteration"]
    ref = next(b for b in rows if b["name"].split("/")[0] == reference)
    ref_time = ref["real_time"]
    print(f"{'benchmark':40} {'time':>12} {'ratio':>8}  ({reference} = 1.00)")
    for b in rows:
        unit = b.get("time_unit", "ns")
        print(f"{b['name']:40} {b['real_time']:10.2f}{unit:>2} {b['real_time'] / ref_time:8.2f}")


if __name__ == "__main__":
    main()
