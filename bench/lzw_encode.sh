#!/usr/bin/env bash
# TIFF LZW encode benchmark (bench/run lzw_encode): a 24-megapixel photo-like RGB image in
# strips of 64 rows, encoded with and without the horizontal predictor by our encoder hook and
# by `tiffcp -c lzw[:2]` (the floor: libtiff's encoder doing the same work). Whole processes,
# best of RUNS, alternating; processor seconds (user + system) beside the wall time, since the
# machine is shared. Ratios are ours / tiffcp; output sizes are printed too.
# Usage: bench/lzw_encode.sh [RUNS]   (default 3)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build >/dev/null
bench=$PWD/build/release/bench/lzw_encode_bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
runs=${1:-3}
"$bench" make "$work/plain.tif"
measure() {  # prints "cpu wall" of the command
  /usr/bin/time -o "$work/t" -f "%U %S %e" "$@" >/dev/null 2>&1
  awk '{ printf "%.3f %.3f\n", $1 + $2, $3 }' "$work/t"
}
echo "TIFF LZW encode of 6000x4000 RGB, best of $runs (ratio: ours / tiffcp)"
for pred in 1 2; do
  opt=lzw; [ "$pred" = 2 ] && opt=lzw:2
  best_ours="9e9 9e9"; best_ref="9e9 9e9"
  for _ in $(seq "$runs"); do
    o=$(measure "$bench" encode "$work/plain.tif" "$work/ours.tif" "$pred")
    r=$(measure tiffcp -c "$opt" "$work/plain.tif" "$work/ref.tif")
    best_ours=$(printf "%s\n%s\n" "$best_ours" "$o" | sort -n | head -1)
    best_ref=$(printf "%s\n%s\n" "$best_ref" "$r" | sort -n | head -1)
  done
  read -r oc ow <<<"$best_ours"
  read -r rc rw <<<"$best_ref"
  awk -v p="$pred" -v oc="$oc" -v ow="$ow" -v rc="$rc" -v rw="$rw" \
      -v os="$(stat -c %s "$work/ours.tif")" -v rs="$(stat -c %s "$work/ref.tif")" \
      'BEGIN { printf "predictor %d  ours cpu %.2fs wall %.2fs  tiffcp cpu %.2fs wall %.2fs  cpu ratio %.2fx  sizes %d / %d\n", p, oc, ow, rc, rw, oc / rc, os, rs }'
done
