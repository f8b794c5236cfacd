#!/usr/bin/env bash
# JPEG 2000 encode and decode, lossless and at rate 0.05, against libopenjp2 called
# directly (the floor), opj_compress/opj_decompress, Pillow and ImageMagick (bench/run jp2).
# Ours is bench/codec_bench, a small program that times one load or save through the I/O
# component inside the process; the floors time themselves too; other programs are whole
# processes with their start-up taken off (bench/jp2_compare.py says how for each).
# Inputs are generated into a temporary folder. Usage: bench/jp2.sh [RUNS]   (default 3;
# LX_BENCH_NO_BUILD=1 uses build/release as it is instead of running scripts/build first)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${LX_BENCH_NO_BUILD:-}" ]; then scripts/build >/dev/null; fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 bench/jp2_compare.py build/release "$work" "${1:-3}"
