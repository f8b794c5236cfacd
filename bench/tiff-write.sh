#!/usr/bin/env bash
# TIFF encode benchmark (bench/run tiff-write): a 24-megapixel photo-like RGB image read from a
# BMP and written as LZW with the horizontal predictor and as Deflate (default effort), by
# `lumenax convert`, against tiffcp doing the same from an uncompressed TIFF (the floor), vips
# (one thread), Pillow and ImageMagick; prints times, ratios to the floor and output sizes.
# Usage: bench/tiff-write.sh [RUNS]   (default 3; best of RUNS whole-process runs)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 bench/tiff_write_compare.py build/release "$work" "${1:-3}"
