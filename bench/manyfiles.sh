#!/usr/bin/env bash
# Many tiny files: COUNT (default 20000) 16 x 16 BMP files converted to PNG, on the disk (a
# folder under the clone's build/, never a memory file system, so that flushes cost what
# they cost), by
#   veltrano-cli -j1 and -j2 through a NUL-separated list (--files-from -), with its
#     crash-safe saves: every target flushed to the disk before it takes its name;
#   ImageMagick's mogrify, 1000 files per process (xargs -n 1000), no flushes;
#   `vips copy` run once per file, no flushes, timed on the first VIPS_SAMPLE (default 200)
#     files and scaled to COUNT (a process start costs it about 0.1 s a file).
# Prints the best of RUNS (default 2) runs as milliseconds per file, files per second and the
# ratio to veltrano-cli -j1.
# Usage: bench/manyfiles.sh [COUNT]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-20000}
runs=${RUNS:-2}
sample=${VIPS_SAMPLE:-200}
cli="$root/build/release/app/veltrano-cli"
[ -x "$cli" ] || "$root/scripts/build" >/dev/null
mkdir -p "$root/build"
work=$(mktemp -d "$root/build/manyfiles-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
fstype=$(stat -f -c %T "$work")
if [ "$fstype" = tmpfs ] || [ "$fstype" = ramfs ]; then
  echo "manyfiles: $work is on $fstype; run from a clone on a disk" >&2
  exit 2
fi

echo "making $count tiny BMP files on $fstype..." >&2
/usr/bin/python3 - "$work/src" "$count" <<'EOF'
import os, struct, sys
folder, count = sys.argv[1], int(sys.argv[2])
os.makedirs(folder)
w = h = 16
row = w * 3
header = b"BM" + struct.pack("<IHHI", 54 + row * h, 0, 0, 54)
header += struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, row * h, 2835, 2835, 0, 0)
for i in range(count):
    pixels = bytes((x * 7 + y * 13 + i) & 255 for y in range(h) for x in range(row))
    with open(os.path.join(folder, "t%06d.bmp" % i), "wb") as f:
        f.write(header + pixels)
EOF

export MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1 VIPS_CONCURRENCY=1

declare -A secs
# run NAME FILES COMMAND: a fresh copy of the sources, flushed, then COMMAND timed in it.
run() {
  local name=$1 files=$2 command=$3 best=""
  for ((k = 0; k < runs; k++)); do
    rm -rf "$work/run"
    if [ "$files" -eq "$count" ]; then
      cp -r "$work/src" "$work/run"
    else
      mkdir "$work/run"
      ls "$work/src" >"$work/all.list"
      head -n "$files" "$work/all.list" | (cd "$work/src" && xargs cp -t "$work/run")
    fi
    sync
    local t0 t1 t
    t0=$(date +%s.%N)
    (cd "$work/run" && bash -c "$command" >/dev/null 2>"$work/err") ||
      { echo "$name failed:"; cat "$work/err"; }
    t1=$(date +%s.%N)
    t=$(awk -v a="$t0" -v b="$t1" -v n="$files" -v c="$count" 'BEGIN { printf "%.3f", (b - a) * c / n }')
    if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$t; fi
    local made
    made=$(find "$work/run" -name '*.png' | wc -l)
    [ "$made" -eq "$files" ] || echo "$name wrote $made of $files files" >&2
  done
  secs[$name]=$best
}

run veltrano-j1 "$count" "find . -name '*.bmp' -print0 | '$cli' -q -j1 -0 --files-from -"
run veltrano-j2 "$count" "find . -name '*.bmp' -print0 | '$cli' -q -j2 -0 --files-from -"
run mogrify "$count" "find . -name '*.bmp' -print0 | xargs -0 -n 1000 /usr/bin/mogrify -format png"
run vips-per-file "$sample" "for f in *.bmp; do vips copy \"\$f\" \"\${f%.bmp}.png\"; done"

printf '\n%d tiny files (16 x 16 BMP -> PNG) on %s\n' "$count" "$fstype"
printf '%-16s %10s %10s %10s %8s\n' program seconds "ms/file" "files/s" ratio
ref=${secs[veltrano-j1]}
for name in veltrano-j1 veltrano-j2 mogrify vips-per-file; do
  s=${secs[$name]}
  awk -v n="$name" -v s="$s" -v c="$count" -v r="$ref" \
    'BEGIN { printf "%-16s %10.2f %10.3f %10.0f %8.2f\n", n, s, s * 1000 / c, c / s, s / r }'
done
[ "$sample" -lt "$count" ] && echo "(vips timed on $sample files, scaled)"
exit 0
