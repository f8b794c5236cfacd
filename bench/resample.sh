#!/usr/bin/env bash
# Resampling benchmark (bench/run resample): every filter reducing 6000x4000 to 1500x1000 and
# enlarging 1500x1000 to 6000x4000, against Pillow, libvips and ImageMagick, all on one
# thread and measured in this run; with the peak memory of our runs.
# Usage: bench/resample.sh [RUNS]   (default 3; each figure is the median of its runs)
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/release/bench/resample_bench ] || scripts/build >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/lxbench-XXXXXX")
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 bench/resample_compare.py build/release "$work" "${1:-3}"
