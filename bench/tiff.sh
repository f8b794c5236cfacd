#!/usr/bin/env bash
# TIFF decode benchmark (bench/run tiff): our reader, libtiff called directly (the floor),
# tiff2rgba, Pillow, ImageMagick and vips on a 24-megapixel photo in LZW, Deflate and
# uncompressed strips of 64 rows, and a Group 4 A4 page.
# Usage: bench/tiff.sh [RUNS]   (default 3; best of RUNS whole-process runs)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 bench/tiff_compare.py build/release "$work" "${1:-3}"
