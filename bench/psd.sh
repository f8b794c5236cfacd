#!/usr/bin/env bash
# Photoshop decode and encode of a 24-megapixel RGB image against Pillow (decode only) and
# ImageMagick doing the same work and against a plain read() of the file, all measured in this
# run (best of N each). Files: rle.psd (our writer: PackBits merged image), raw.psd and
# zip.psd (ImageMagick: raw merged image; ZIP-compressed layer channels, decoded with layers).
# Usage: bench/psd.sh [runs]   (bench/run psd calls it after building in release mode)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
[ -x build/release/bench/psd_bench ] || scripts/build >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/lxbench-XXXXXX")
trap 'rm -rf "$work"' EXIT
build/release/bench/psd_bench generate "$work"
IM=/usr/bin/convert  # Debian's ImageMagick, not a stand-in on PATH
if [ -x "$IM" ]; then
  "$IM" "$work/photo.pam" -compress None "$work/raw.psd"
  "$IM" "$work/photo.pam" "$work/zip.psd"  # its default: ZIP-compressed layer channels
fi
results="$work/results"
build/release/bench/psd_bench time "$work" "$runs" >"$results"

PY=/usr/bin/python3
if "$PY" -c 'import PIL' 2>/dev/null; then
  "$PY" - "$work" "$runs" >>"$results" <<'PYEOF'
import os, sys, time
from PIL import Image
work, runs = sys.argv[1], int(sys.argv[2])
def best(f):
    t = 1e300
    for _ in range(runs):
        t0 = time.perf_counter(); f(); t = min(t, time.perf_counter() - t0)
    return t * 1000
def merged(name):
    def f():
        im = Image.open(f"{work}/{name}.psd"); im.load()
    return f
def layers(name):
    def f():
        im = Image.open(f"{work}/{name}.psd")
        for k in range(1, im.n_frames):
            im.seek(k); im.load()
    return f
for name in ("rle", "raw"):
    if os.path.exists(f"{work}/{name}.psd"):
        print("pillow_decode_%s %.2f" % (name, best(merged(name))))
if os.path.exists(f"{work}/zip.psd"):
    try:
        print("pillow_decode_zip %.2f" % best(layers("zip")))
    except Exception as e:  # Pillow has no ZIP channel decoder
        print("pillow cannot decode zip.psd:", e, file=sys.stderr)
PYEOF
fi

if [ -x "$IM" ]; then
  best_of() {  # best wall time in ms of a command run $runs times
    local best=
    for _ in $(seq "$runs"); do
      local t0 t1
      t0=$(date +%s%N); "$@" >/dev/null 2>&1; t1=$(date +%s%N)
      local ms=$(( (t1 - t0) / 1000 ))
      if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
    done
    printf "%d.%03d" $((best / 1000)) $((best % 1000))
  }
  "$IM" -size 1x1 xc:white "$work/tiny.psd"
  echo "magick_startup $(best_of "$IM" "$work/tiny.psd[0]" null:)" >>"$results"
  echo "magick_decode_rle_total $(best_of "$IM" "$work/rle.psd[0]" null:)" >>"$results"
  echo "magick_decode_raw_total $(best_of "$IM" "$work/raw.psd[0]" null:)" >>"$results"
  echo "magick_decode_zip_total $(best_of "$IM" "$work/zip.psd" null:)" >>"$results"
  echo "magick_roundtrip_total $(best_of "$IM" "$work/rle.psd[0]" -compress RLE "$work/im.psd")" >>"$results"
fi

"$PY" - "$results" <<'PYEOF'
import sys
v = {}
for line in open(sys.argv[1]):
    k, ms = line.split()
    v[k] = float(ms)
if "magick_startup" in v:
    # ImageMagick runs as a program: its start-up is measured on a 1-pixel file and taken off.
    s = v["magick_startup"]
    for n in ("rle", "raw", "zip"):
        v[f"magick_decode_{n}"] = v[f"magick_decode_{n}_total"] - s
    v["magick_encode"] = v["magick_roundtrip_total"] - v["magick_decode_rle_total"]
def row(label, key, ref):
    if key not in v: return
    r = f"{v[key] / v[ref]:8.2f}" if ref in v else ""
    print(f"  {label:48} {v[key]:10.2f} ms {r}")
titles = {"rle": "RGB PSD, 6000 x 4000, PackBits merged image (our writer)",
          "raw": "RGB PSD, 6000 x 4000, raw merged image (ImageMagick)",
          "zip": "RGB PSD, 6000 x 4000, ZIP layer channels, layers decoded (ImageMagick)"}
for n, title in titles.items():
    if f"read_{n}" not in v: continue
    print(f"{title}; ratio to a plain read() of the file")
    row("plain read()", f"read_{n}", f"read_{n}")
    row("lumenax decode", f"decode_{n}", f"read_{n}")
    row("Pillow decode", f"pillow_decode_{n}", f"read_{n}")
    row("ImageMagick decode (to null:, start-up taken off)", f"magick_decode_{n}", f"read_{n}")
print("encode of the same image (one layer and the merged image, PackBits); ratio to lumenax")
row("lumenax encode", "encode", "encode")
row("ImageMagick encode (round trip minus decode)", "magick_encode", "encode")
print("lumenax against the peers (peer time / lumenax time; above 1 means lumenax is faster)")
for what in ("decode_rle", "decode_raw", "decode_zip", "encode"):
    for peer in ("pillow", "magick"):
        k = f"{peer}_{what}"
        if k in v and what in v:
            print(f"  {peer:8} {what:12} {v[k] / v[what]:8.2f}")
PYEOF
