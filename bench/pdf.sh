#!/usr/bin/env bash
# PDF and PostScript writers on 24-megapixel images against a plain write() of the RGB pixel
# bytes and against ImageMagick with the same compression, all measured in this run (best of
# N each): PDF uncompressed, LZW and JPEG of a photo, PDF Group 4 of a one-bit page, and
# PostScript RunLength (ASCII85) of the photo. File sizes are printed too.
# Usage: bench/pdf.sh [runs]   (bench/run pdf calls it after building in release mode)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
[ -x build/release/bench/pdf_bench ] || scripts/build >/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/lxbench-XXXXXX")
trap 'rm -rf "$work"' EXIT
build/release/bench/pdf_bench generate "$work"
results="$work/results"
build/release/bench/pdf_bench time "$work" "$runs" >"$results"

IM=/usr/bin/convert  # Debian's ImageMagick, not a stand-in on PATH
# Debian's security policy forbids ImageMagick's PostScript and PDF coders. The comparison runs
# it in a private mount namespace where a copy of the policy without those rules stands in.
policy=/etc/ImageMagick-6/policy.xml
magick=("$IM")
if [ -x "$IM" ] && [ -f "$policy" ] && grep -q 'pattern="PDF"' "$policy"; then
  grep -v 'pattern="\(PS\|PS2\|PS3\|EPS\|PDF\|XPS\)"' "$policy" >"$work/policy.xml"
  magick=(unshare -m sh -c 'mount --bind "$0" "$1" && shift && exec "$@"' "$work/policy.xml" "$policy" "$IM")
  "${magick[@]}" -size 1x1 xc:white "$work/probe.pdf" >/dev/null 2>&1 || IM=
fi
if [ -n "$IM" ] && [ -x "$IM" ]; then
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
  # ImageMagick runs as a program: reading its input is measured alone and taken off.
  echo "magick_read_photo $(best_of "${magick[@]}" "$work/photo.ppm" null:)" >>"$results"
  echo "magick_read_page $(best_of "${magick[@]}" "$work/page.pbm" null:)" >>"$results"
  for c in None:pdf_none LZW:pdf_lzw JPEG:pdf_jpeg; do
    echo "magick_${c#*:}_total $(best_of "${magick[@]}" "$work/photo.ppm" -compress "${c%%:*}" "$work/im_${c#*:}.pdf")" >>"$results"
    echo "size_magick_${c#*:} $(stat -c %s "$work/im_${c#*:}.pdf")" >>"$results"
  done
  echo "magick_pdf_g4_total $(best_of "${magick[@]}" "$work/page.pbm" -compress Group4 "$work/im_pdf_g4.pdf")" >>"$results"
  echo "size_magick_pdf_g4 $(stat -c %s "$work/im_pdf_g4.pdf")" >>"$results"
  echo "magick_ps_rle_total $(best_of "${magick[@]}" "$work/photo.ppm" -compress RLE "PS2:$work/im_ps_rle.ps")" >>"$results"
  echo "size_magick_ps_rle $(stat -c %s "$work/im_ps_rle.ps")" >>"$results"
fi

/usr/bin/python3 - "$results" <<'PYEOF'
import sys
v = {}
for line in open(sys.argv[1]):
    k, x = line.split()
    v[k] = float(x)
for k in ("pdf_none", "pdf_lzw", "pdf_jpeg", "ps_rle"):
    if f"magick_{k}_total" in v:
        v[f"magick_{k}"] = v[f"magick_{k}_total"] - v["magick_read_photo"]
if "magick_pdf_g4_total" in v:
    v["magick_pdf_g4"] = v["magick_pdf_g4_total"] - v["magick_read_page"]
ref = v["plain_write"]
print("6000 x 4000 images; times in ms (best of runs; cpu: processor time of that run, all")
print("threads); sizes in bytes; memory: the most resident MB a run of ours added")
print(f"  {'':34} {'time':>10} {'/ write()':>10} {'cpu':>10} {'memory':>8} {'size':>12}")
print(f"  {'plain write() of the RGB bytes':34} {ref:10.2f} {1:10.2f} {v['cpu_plain_write']:10.2f}"
      f" {v['mem_plain_write']:8.1f} {int(v['size_plain_write']):12d}")
labels = {"pdf_none": "PDF uncompressed (RGB)", "pdf_lzw": "PDF LZW (RGB)",
          "pdf_jpeg": "PDF JPEG (RGB)", "pdf_g4": "PDF Group 4 (one bit)",
          "ps_rle": "PostScript RunLength+ASCII85 (RGB)"}
for k, label in labels.items():
    print(f"  {'lumenax ' + label:34} {v[k]:10.2f} {v[k] / ref:10.2f} {v['cpu_' + k]:10.2f}"
          f" {v['mem_' + k]:8.1f} {int(v['size_' + k]):12d}")
    if f"magick_{k}" in v:
        print(f"  {'ImageMagick ' + label:34} {v['magick_' + k]:10.2f} {v['magick_' + k] / ref:10.2f}"
              f" {'':>10} {'':>8} {int(v['size_magick_' + k]):12d}")
print("Targets")
print(f"  PDF uncompressed / write():   {v['pdf_none'] / ref:6.2f}  (target 1.5 or less)")
print(f"  PostScript RunLength / write(): {v['ps_rle'] / ref:6.2f}  (target 4 or less)")
print("ImageMagick time / lumenax time (above 1: lumenax is faster)")
for k in ("pdf_lzw", "pdf_g4", "pdf_jpeg", "pdf_none", "ps_rle"):
    if f"magick_{k}" in v:
        print(f"  {labels[k]:34} {v['magick_' + k] / v[k]:6.2f}")
PYEOF
