#!/usr/bin/env python3
"""TIFF encoding of a 24-megapixel 8-bit RGB photo-like image: LZW with the horizontal
predictor and Deflate at the default effort. lumenax converts from a BMP; the floor is tiffcp
doing the same from an uncompressed TIFF (-c lzw:2, -c zip); the peers are vips (one
thread), Pillow and ImageMagick, each reading the BMP. Every figure is a whole process, best
of RUNS, the programs alternating so that load on the machine hits them alike. Ratios are to
the floor; the processor time (user + system) and the peak resident memory are those of the
best run; sizes are those of the files written.

Usage: tiff_write_compare.py BUILD_DIR WORK_DIR [RUNS]
"""
import os
import subprocess
import sys
import time

CONVERT = "/usr/bin/convert"
PYTHON = "/usr/bin/python3"


def wall(cmd, env=None):
    """(wall seconds, processor seconds, peak resident MB) of one whole process."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise subprocess.CalledProcessError(proc.returncode, cmd)
    return elapsed, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def main():
    build, work = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    lumenax = os.path.join(build, "app", "lumenax")
    os.makedirs(work, exist_ok=True)
    bmp = os.path.join(work, "photo.bmp")
    plain = os.path.join(work, "plain.tif")
    # Made in a process of its own: children inherit the peak memory figure of this one.
    subprocess.run([PYTHON, "-c", "import sys\nsys.path.insert(0, sys.argv[1])\n"
                    "from tiff_compare import photo\nim = photo()\n"
                    "im.save(sys.argv[2])\nim.save(sys.argv[3])",
                    os.path.dirname(os.path.abspath(__file__)), bmp, plain], check=True)
    vips_env = dict(os.environ, VIPS_CONCURRENCY="1")
    out = lambda p, c: os.path.join(work, f"{p}-{c}.tif")  # noqa: E731
    settings = {"LZW": ("lzw:2", "-s TiffCompression=5", "compression=lzw,predictor=horizontal",
                        "tiff_lzw", ["-compress", "LZW", "-define", "tiff:predictor=2"]),
                "Deflate": ("zip", "-s TiffCompression=9", "compression=deflate",
                            "tiff_adobe_deflate", ["-compress", "Zip"])}
    print(f"TIFF encode of a 6000 x 4000 RGB photo, whole processes, best of {runs} "
          "(ratio: to tiffcp)")
    for name, (cp, ours, vips, pil, magick) in settings.items():
        programs = {
            "lumenax": lambda: wall([lumenax, "convert", *ours.split(), bmp, out("lumenax", name)]),
            "tiffcp": lambda: wall(["tiffcp", "-c", cp, plain, out("tiffcp", name)]),
            "vips": lambda: wall(["vips", "copy", bmp, out("vips", name) + f"[{vips}]"], vips_env),
            "Pillow": lambda: wall([PYTHON, "-c", "import sys\nfrom PIL import Image\n"
                                    "Image.open(sys.argv[1]).save(sys.argv[2], compression="
                                    "sys.argv[3])", bmp, out("Pillow", name), pil]),
            "ImageMagick": lambda: wall([CONVERT, bmp, *magick, out("ImageMagick", name)]),
        }
        best = {p: (float("inf"), 0.0, 0.0) for p in programs}
        for _ in range(runs):
            for p, run in programs.items():
                try:
                    best[p] = min(best[p], run())
                except subprocess.CalledProcessError:
                    pass
        floor, floor_cpu = best["tiffcp"][0], best["tiffcp"][1]
        line = "  ".join(f"{p} {t:.3f}s ({t / floor:.2f}x)" for p, (t, _, _) in best.items())
        print(f"{name:8s} {line}")
        cpu = "  ".join(f"{p} {c:.3f}s ({c / floor_cpu:.2f}x)"
                        for p, (_, c, _) in best.items() if floor_cpu > 0)
        print(f"{'':8s} cpu: {cpu}")
        memory = "  ".join(f"{p} {m:.0f} MB" for p, (_, _, m) in best.items())
        print(f"{'':8s} peak memory: {memory}")
        sizes = "  ".join(f"{p} {os.path.getsize(out(p, name)) / 1e6:.1f} MB"
                          for p in programs if os.path.exists(out(p, name)))
        print(f"{'':8s} sizes: {sizes}")


if __name__ == "__main__":
    main()
