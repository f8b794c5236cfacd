#!/usr/bin/env bash
# Batch conversion: COUNT (default 100) photo-like 2-megapixel BMP files, half 24-bit and half
# 32-bit with alpha, converted to PNG, and the results converted back to BMP, by
# veltrano-cli -j1 and -j2, the window's convert command with 2 workers (window-2, its engine
# without the window), ImageMagick's mogrify and libvips, all limited to one thread (but the
# two-worker runs), at zlib level 5 without row filters (veltrano's defaults). Prints the best wall
# time of RUNS runs (default 3), ratios to veltrano-cli -j1 and peak memory (/usr/bin/time).
# Usage: bench/veltrano.sh [COUNT]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-100}
runs=${RUNS:-3}
cli="$root/build/release/app/veltrano-cli"
window="$root/build/release/bench/window_convert_bench"
[ -x "$cli" ] && [ -x "$window" ] || "$root/scripts/build" >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/veltrano-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "making $count photo-like 2-megapixel BMP files..." >&2
/usr/bin/python3 "$root/bench/make_photos.py" "$work/src" "$count"

export MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1 VIPS_CONCURRENCY=1

vips_to_png() { for f in *.bmp; do vips copy "$f" "${f%.bmp}.png[compression=5,filter=none]"; done; }
vips_to_bmp() { for f in *.png; do vips copy "$f" "${f%.png}.bmp"; done; }
export -f vips_to_png vips_to_bmp

# run NAME DIRECTION COMMAND...: fresh copy of the inputs, then the timed command inside it.
declare -A secs mem
run() {
  local name=$1 dir=$2; shift 2
  local best="" peak=0
  for ((k = 0; k < runs; k++)); do
    rm -rf "$work/run"; mkdir "$work/run"
    if [ "$dir" = png ]; then cp "$work/src"/*.bmp "$work/run/"; else cp "$work/png"/*.png "$work/run/"; fi
    sync
    local t0 t1 t
    t0=$(date +%s.%N)
    ( cd "$work/run" && /usr/bin/time -f "%M" -o "$work/mem" "$@" >/dev/null 2>"$work/err" ) ||
      { echo "$name failed:"; cat "$work/err"; }
    t1=$(date +%s.%N)
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
    m=$(tail -n 1 "$work/mem")
    [ "$m" -gt "$peak" ] && peak=$m
  done
  secs[$name-$dir]=$best
  mem[$name-$dir]=$peak
}

# The PNG inputs of the way back are veltrano's own PNG files.
mkdir -p "$work/png"
cp "$work/src"/*.bmp "$work/png/"
"$cli" -q "$work/png"
rm "$work/png"/*.bmp

for dir in png bmp; do
  run veltrano-j1 $dir "$cli" -q -j 1 .
  run veltrano-j2 $dir "$cli" -q -j 2 .
  if [ $dir = png ]; then
    run window-2 $dir bash -c "'$window' 2 ./*.bmp"
  else
    run window-2 $dir bash -c "'$window' 2 ./*.png"
  fi
  if [ $dir = png ]; then
    run mogrify $dir /usr/bin/mogrify -limit thread 1 -format png -quality 50 ./*.bmp
    run vips $dir bash -c vips_to_png
  else
    run mogrify $dir /usr/bin/mogrify -limit thread 1 -format bmp ./*.png
    run vips $dir bash -c vips_to_bmp
  fi
done

printf '\n%-14s %-10s %10s %8s %12s\n' program direction seconds ratio "peak RSS KiB"
for dir in png bmp; do
  ref=${secs[veltrano-j1-$dir]}
  for name in veltrano-j1 veltrano-j2 window-2 mogrify vips; do
    s=${secs[$name-$dir]}
    printf '%-14s %-10s %10.2f %8.2f %12s\n' "$name" "BMP->${dir^^}" "$s" "$(awk -v a="$s" -v b="$ref" 'BEGIN { printf "%.3f", a / b }')" "${mem[$name-$dir]}"
  done
done | sed 's/BMP->BMP/PNG->BMP/'
