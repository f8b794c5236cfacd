#!/usr/bin/env bash
# JPEG decode (default and accurate DCT, progressive) and encode against libjpeg-turbo
# called directly (the floor), Pillow, ImageMagick and vips (bench/run jpeg).
# Ours is bench/codec_bench, a small program that times one load or save through the I/O
# component inside the process; the floors time themselves too; other programs are whole
# processes with their start-up taken off (bench/jpeg_compare.py says how for each).
# Inputs are generated into a temporary folder. Usage: bench/jpeg.sh [RUNS]   (default 3;
# LX_BENCH_NO_BUILD=1 uses build/release as it is instead of running scripts/build first)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${LX_BENCH_NO_BUILD:-}" ]; then scripts/build >/dev/null; fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 bench/jpeg_compare.py build/release "$work" "${1:-3}"
