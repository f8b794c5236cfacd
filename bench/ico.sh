#!/usr/bin/env bash
# Icon benchmark (bench/run ico): the usual seven-size 32-bit icon (256 down to 16) written
# from a 1024 x 1024 RGBA PNG, start-up and PNG decode included, by `lumenax convert`,
# ImageMagick and Pillow; then each image of our icon loaded by each of them.
# Usage: bench/ico.sh [RUNS]   (default 5; the best run of each program counts)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 bench/ico_compare.py build/release "$work" "${1:-5}"
