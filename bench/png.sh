#!/usr/bin/env bash
# PNG encode/decode benchmark (bench/run png): our codec, libpng called directly with the
# same settings (the floor), Pillow and ImageMagick on the same 24-megapixel pixels.
# Usage: bench/png.sh [RUNS]   (default 5; each run of each program is one encode or decode)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 bench/png_compare.py build/release "$work" "${1:-5}"
