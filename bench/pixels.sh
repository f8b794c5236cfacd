#!/usr/bin/env bash
# Headerless raw pixels, PNM (P6, P5, P3), TGA and PCX against a plain read() and write()
# of the same bytes, Pillow, ImageMagick and netpbm (bench/run pixels).
# Ours is bench/codec_bench, a small program that times one load or save through the I/O
# component inside the process; the floors time themselves too; other programs are whole
# processes with their start-up taken off (bench/pixels_compare.py says how for each).
# Inputs are generated into a temporary folder. Usage: bench/pixels.sh [RUNS]   (default 3;
# LX_BENCH_NO_BUILD=1 uses build/release as it is instead of running scripts/build first)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${LX_BENCH_NO_BUILD:-}" ]; then scripts/build >/dev/null; fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 bench/pixels_compare.py build/release "$work" "${1:-3}"
