#!/usr/bin/env bash
# BMP decode and encode of a 24-megapixel image against Pillow and ImageMagick doing the same
# work and against a plain read() of the file, all measured in this run (best of N each).
# Usage: bench/bmp.sh [runs]   (bench/run bmp calls it after building in release mode)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
[ -x build/release/bench/bmp_bench ] || scripts/build >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/lxbench-XXXXXX")
trap 'rm -rf "$work"' EXIT
build/release/bench/bmp_bench generate "$work"
results="$work/results"
build/release/bench/bmp_bench time "$work" "$runs" >"$results"

PY=/usr/bin/python3
if "$PY" -c 'import PIL' 2>/dev/null; then
  "$PY" - "$work" "$runs" >>"$results" <<'PYEOF'
import sys, time
from PIL import Image
work, runs = sys.argv[1], int(sys.argv[2])
def best(f):
    t = 1e300
    for _ in range(runs):
        t0 = time.perf_counter(); f(); t = min(t, time.perf_counter() - t0)
    return t * 1000
def decode(name):
    def f():
        im = Image.open(f"{work}/{name}"); im.load()
    return f
print("pillow_decode24 %.2f" % best(decode("rgb24.bmp")))
print("pillow_decoderle8 %.2f" % best(decode("rle8.bmp")))
photo = Image.open(f"{work}/rgb24.bmp"); photo.load()
print("pillow_encode24 %.2f" % best(lambda: photo.save(f"{work}/pil24.bmp")))
PYEOF
fi

IM=/usr/bin/convert  # Debian's ImageMagick, not a stand-in on PATH
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
  "$IM" -size 1x1 xc:white BMP3:"$work/tiny.bmp"
  echo "magick_startup $(best_of "$IM" "$work/tiny.bmp" null:)" >>"$results"
  echo "magick_decode24_total $(best_of "$IM" "$work/rgb24.bmp" null:)" >>"$results"
  echo "magick_decoderle8_total $(best_of "$IM" "$work/rle8.bmp" null:)" >>"$results"
  echo "magick_roundtrip24_total $(best_of "$IM" "$work/rgb24.bmp" BMP3:"$work/im24.bmp")" >>"$results"
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
    v["magick_decode24"] = v["magick_decode24_total"] - s
    v["magick_decoderle8"] = v["magick_decoderle8_total"] - s
    v["magick_encode24"] = v["magick_roundtrip24_total"] - v["magick_decode24_total"]
def row(label, key, ref):
    if key not in v: return
    r = f"{v[key] / v[ref]:8.2f}" if ref in v else ""
    print(f"  {label:44} {v[key]:10.2f} ms {r}")
print("24-bit BMP, 6000 x 4000 (72 MB); ratio to a plain read() of the file")
row("plain read()", "read24", "read24")
row("lumenax decode", "decode24", "read24")
row("Pillow decode (open + load)", "pillow_decode24", "read24")
row("ImageMagick decode (convert to null:)", "magick_decode24", "read24")
print("8-bit RLE8 BMP, 6000 x 4000, decoded to true colour; ratio to a plain read()")
row("plain read()", "readrle8", "readrle8")
row("lumenax decode", "decoderle8", "readrle8")
row("Pillow decode (to its palette mode)", "pillow_decoderle8", "readrle8")
row("ImageMagick decode", "magick_decoderle8", "readrle8")
print("24-bit encode of the same image; ratio to lumenax")
row("lumenax encode", "encode24", "encode24")
row("Pillow encode", "pillow_encode24", "encode24")
row("ImageMagick encode (round trip minus decode)", "magick_encode24", "encode24")
row("lumenax RLE8 encode (palette graphic)", "encoderle8", "encode24")
print("lumenax against the peers (peer time / lumenax time; above 1 means lumenax is faster)")
for what, ours in (("decode24", "decode24"), ("decoderle8", "decoderle8"), ("encode24", "encode24")):
    for peer in ("pillow", "magick"):
        k = f"{peer}_{what}"
        if k in v:
            print(f"  {peer:8} {what:12} {v[k] / v[ours]:8.2f}")
PYEOF
