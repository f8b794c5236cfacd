#!/usr/bin/env bash
# DICOM loads (native, RLE, lossless JPEG) against a plain read(), dcmtk, gdcmconv and
# pydicom (bench/run dicom).
# Ours is bench/codec_bench, a small program that times one load or save through the I/O
# component inside the process; the floors time themselves too; other programs are whole
# processes with their start-up taken off (bench/dicom_compare.py says how for each).
# Inputs are generated into a temporary folder. Usage: bench/dicom.sh [RUNS]   (default 3;
# LX_BENCH_NO_BUILD=1 uses build/release as it is instead of running scripts/build first)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${LX_BENCH_NO_BUILD:-}" ]; then scripts/build >/dev/null; fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 bench/dicom_compare.py build/release "$work" "${1:-3}"
