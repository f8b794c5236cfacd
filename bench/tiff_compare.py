#!/usr/bin/env python3
"""TIFF decoding of a 24-megapixel 8-bit RGB photo-like image stored in strips of 64 rows,
LZW and Deflate with the horizontal predictor (as tiffcp -c lzw:2 and -c zip:2 write them)
and uncompressed, and of a Group 4 A4 page: our reader against libtiff called directly
(the floor), tiff2rgba, Pillow, ImageMagick and vips (one thread). Every figure is a whole
process, best of RUNS; the runs of the programs alternate so that load on the machine hits
them alike. Ratios are to the floor.

Usage: tiff_compare.py BUILD_DIR WORK_DIR [RUNS]
"""
import os
import subprocess
import sys
import time

import numpy as np
from PIL import Image, ImageDraw

W, H = 6000, 4000
CONVERT = "/usr/bin/convert"  # ImageMagick (not a stand-in found on PATH)
PYTHON = "/usr/bin/python3"


def photo():
    rng = np.random.default_rng(5)
    gy, gx = 9, 12
    coarse = rng.uniform(20, 235, size=(gy, gx, 3))
    ys = np.linspace(0, gy - 1, H)
    xs = np.linspace(0, gx - 1, W)
    y0 = np.floor(ys).astype(int).clip(0, gy - 2)
    x0 = np.floor(xs).astype(int).clip(0, gx - 2)
    fy = (ys - y0)[:, None, None]
    fx = (xs - x0)[None, :, None]
    img = (coarse[y0][:, x0] * (1 - fx) + coarse[y0][:, x0 + 1] * fx) * (1 - fy) + \
          (coarse[y0 + 1][:, x0] * (1 - fx) + coarse[y0 + 1][:, x0 + 1] * fx) * fy
    img += rng.normal(0, 4, size=img.shape)
    return Image.fromarray(img.clip(0, 255).astype(np.uint8), "RGB")


def page():
    im = Image.new("1", (2480, 3508), 1)
    d = ImageDraw.Draw(im)
    rng = np.random.default_rng(3)
    for line in range(90):
        y = 200 + line * 34
        x = 200
        while x < 2200:
            w = int(rng.integers(20, 120))
            d.rectangle((x, y, x + w, y + 18), fill=0)
            x += w + int(rng.integers(12, 30))
    return im


def wall(cmd, env=None):
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True, capture_output=True, env=env)
    return time.perf_counter() - t0


def main():
    build, work = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    ours = os.path.join(build, "bench", "tiff_bench")
    floor = os.path.join(build, "bench", "tiff_floor")
    os.makedirs(work, exist_ok=True)
    plain = os.path.join(work, "plain.tif")
    photo().save(plain)
    files = {}
    for name, comp in (("LZW", "lzw:2"), ("Deflate", "zip:2"), ("none", "none")):
        files[name] = os.path.join(work, f"{name}.tif")
        subprocess.run(["tiffcp", "-c", comp, "-r", "64", plain, files[name]], check=True)
    bw = os.path.join(work, "bw.tif")
    page().save(bw)
    files["G4 page"] = os.path.join(work, "g4.tif")
    subprocess.run(["tiffcp", "-c", "g4", bw, files["G4 page"]], check=True)
    vips_env = dict(os.environ, VIPS_CONCURRENCY="1")
    sink = os.path.join(work, "rgba.tif")
    programs = {
        "lumenax": lambda f: wall([ours, f]),
        "floor": lambda f: wall([floor, f]),
        "vips": lambda f: wall(["vips", "avg", f], vips_env),
        "Pillow": lambda f: wall([PYTHON, "-c", "import sys\nfrom PIL import Image\n"
                                  "Image.open(sys.argv[1]).load()", f]),
        "ImageMagick": lambda f: wall([CONVERT, f, "null:"]),
        "tiff2rgba": lambda f: wall(["tiff2rgba", "-c", "none", f, sink]),
    }
    print(f"TIFF decode, whole processes, best of {runs} (ratio: to the libtiff floor)")
    for name, f in files.items():
        best = {p: float("inf") for p in programs}
        for _ in range(runs):
            for p, run in programs.items():
                best[p] = min(best[p], run(f))
        line = "  ".join(f"{p} {t:.3f}s ({t / best['floor']:.2f}x)" for p, t in best.items())
        print(f"{name:8s} {line}")


if __name__ == "__main__":
    main()
