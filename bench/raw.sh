#!/usr/bin/env bash
# Camera RAW decode of the Canon CR2 from Debian's rawtran-doc (8 megapixels) against LibRaw's
# own converter (dcraw_emu -w) and dcraw -w, all in this run, best of N wall times each. Ours
# is `lumenax info`, which loads the file whole; the converters write their PPM to stdout,
# into /dev/null. Headerless raw pixels are measured by bench/pixels.sh.
# Usage: bench/raw.sh [runs]   (bench/run raw)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
cr2=${LX_TEST_DATA_DIR:-$HOME/.cache/lumenax-test-data}/rawtran-doc/usr/share/doc/rawtran/IMG_5952.CR2
if [ ! -f "$cr2" ]; then
  echo "raw: $cr2 is missing (scripts/setup fetches it)" >&2
  exit 1
fi
if [ ! -x build/release/app/lumenax ]; then
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DLX_BUILD_TESTS=OFF >/dev/null
  cmake --build build/release --target lumenax_cli >/dev/null
fi
tool=$(find build/release/app -maxdepth 1 -name lumenax -type f | head -1)
/usr/bin/python3 - "$runs" "$cr2" "$tool" <<'PYEOF'
import subprocess, sys, time
runs, cr2, tool = int(sys.argv[1]), sys.argv[2], sys.argv[3]
def best(cmd):
    t = 1e300
    for _ in range(runs):
        t0 = time.perf_counter()
        subprocess.run(cmd, shell=True, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        t = min(t, time.perf_counter() - t0)
    return t
ours = best(f"'{tool}' info '{cr2}'")
emu = best(f"/usr/bin/dcraw_emu -w -Z - '{cr2}'")
dcraw = best(f"/usr/bin/dcraw -w -c '{cr2}'")
print(f"raw_cr2_decode        {ours * 1000:8.1f} ms")
print(f"dcraw_emu -w          {emu * 1000:8.1f} ms   ratio ours/dcraw_emu {ours / emu:.2f} (goal <= 1.10)")
print(f"dcraw -w              {dcraw * 1000:8.1f} ms   ratio ours/dcraw     {ours / dcraw:.2f}")
PYEOF
