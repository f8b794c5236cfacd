#!/usr/bin/env python3
"""Resampling of a 24-bit photo-like image, 6000x4000 -> 1500x1000 ("down") and
1500x1000 -> 6000x4000 ("up"), by every filter of ours and by the peers' filters of the same
kind, measured in one run with every program on one thread.

Ours and Pillow are timed in their process around the resize alone. vips and ImageMagick run
as programs: each figure is a run that resizes less a run that reads the same input and
writes an output of the same size without resampling (crop or extent). Times are processor
time (user + system), the median of RUNS runs; a ratio above 1 means the peer took longer.
Peak memory: our process's peak less its size before the first resize, against the target
plus one work image (target width x source height x 3 bytes).

Usage: resample_compare.py BUILD_DIR WORK_DIR [RUNS]
"""
import os
import resource
import statistics
import subprocess
import sys
import time

from PIL import Image

BIG, SMALL = (6000, 4000), (1500, 1000)
CONVERT = "/usr/bin/convert"  # ImageMagick itself, not a stand-in found on PATH
VIPS = "vips"

# Our filter -> (Pillow filter, vips operation, ImageMagick operation). Pillow as the brief of
# this benchmark names them; filters without a Pillow equal take the one of the same or next
# larger support.
PEERS = {
    "none": ("NEAREST", "nearest", "-sample"),
    "triangle": ("BILINEAR", "linear", "-filter Triangle -resize"),
    "hermite": ("BILINEAR", "linear", "-filter Hermite -resize"),
    "bell": ("BICUBIC", "cubic", "-filter Quadratic -resize"),
    "bspline": ("BICUBIC", "cubic", "-filter Cubic -resize"),
    "lanczos3": ("LANCZOS", "lanczos3", "-filter Lanczos -resize"),
    "mitchell": ("BICUBIC", "mitchell", "-filter Mitchell -resize"),
    "nearest": ("BOX", "box", "-filter Box -resize"),
    "linear": ("BILINEAR", "linear", "-filter Triangle -resize"),
    "fastlinear": ("BILINEAR", "linear", "-filter Triangle -resize"),
    "bilinear": ("BOX", "box", "-scale"),
    "bicubic": ("BOX", "box", "-scale"),
    "projectbw": (None, None, None),
    "projectwb": (None, None, None),
}
KERNEL_FILTERS = {"triangle", "hermite", "bell", "bspline", "lanczos3", "mitchell", "nearest",
                  "linear"}


def child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def external(cmd, env=None):
    c0 = child_cpu()
    subprocess.run(cmd, check=True, capture_output=True, env=env)
    return child_cpu() - c0


def median(xs):
    return statistics.median(xs)


def main():
    build, work, runs = sys.argv[1], sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 3
    ours = os.path.join(build, "bench", "resample_bench")
    paths = {}
    for name, (w, h) in (("big", BIG), ("small", SMALL)):
        raw = os.path.join(work, f"{name}.raw")
        subprocess.run([ours, "gen", str(w), str(h), raw], check=True)
        with open(raw, "rb") as f:
            im = Image.frombytes("RGB", (w, h), f.read())
        ppm, vfile = os.path.join(work, f"{name}.ppm"), os.path.join(work, f"{name}.v")
        im.save(ppm)
        subprocess.run([VIPS, "copy", ppm, vfile], check=True)
        paths[name] = (raw, ppm, vfile, im)
    env1 = dict(os.environ, VIPS_CONCURRENCY="1")
    have_im = os.access(CONVERT, os.X_OK)

    print(f"Resampling, {BIG[0]}x{BIG[1]} <-> {SMALL[0]}x{SMALL[1]} lx24RGB, median of {runs} runs, "
          "processor seconds; ratio = peer / lumenax (above 1: lumenax is faster)")
    cache = {}
    for case, (src, (w, h), (w2, h2)) in (("down", ("big", BIG, SMALL)),
                                          ("up", ("small", SMALL, BIG))):
        raw, ppm, vfile, pil = paths[src]
        out_v = os.path.join(work, "out.v")
        out_ppm = os.path.join(work, "out.ppm")
        factor = w / w2 if case == "down" else w2 / w
        # Baselines of the programs: read the input, write an output of the target's size.
        if case == "down":
            vips_base = [VIPS, "crop", vfile, out_v, "0", "0", str(w2), str(h2)]
            im_base = [CONVERT, "-limit", "thread", "1", ppm, "-crop", f"{w2}x{h2}+0+0", "+repage", out_ppm]
        else:
            vips_base = [VIPS, "embed", vfile, out_v, "0", "0", str(w2), str(h2)]
            im_base = [CONVERT, "-limit", "thread", "1", ppm, "-extent", f"{w2}x{h2}", out_ppm]
        vb = median([external(vips_base, env1) for _ in range(runs)])
        ib = median([external(im_base) for _ in range(runs)]) if have_im else None
        print(f"\n{case}: {w}x{h} -> {w2}x{h2}")
        print(f"  {'filter':11} {'lumenax':>8} {'extra MB':>9} {'limit MB':>9}   "
              f"{'Pillow':>18}   {'vips':>18}   {'ImageMagick':>28}")
        for name, (pf, vk, imop) in PEERS.items():
            out = subprocess.run([ours, "run", raw, str(w), str(h), str(w2), str(h2), name, str(runs)],
                                 check=True, capture_output=True, text=True).stdout.split()
            cpu, before, peak = float(out[1]), int(out[2]), int(out[3])
            target, workimg = int(out[4]), int(out[5])
            extra = (peak - before) / 1024
            limit = (target + workimg) / 1e6
            cols = []
            if pf:
                key = ("pil", case, pf)
                if key not in cache:
                    f = getattr(Image, pf)
                    ts = []
                    for _ in range(runs):
                        c0 = time.process_time()
                        pil.resize((w2, h2), f)
                        ts.append(time.process_time() - c0)
                    cache[key] = median(ts)
                cols.append(f"{pf:8} {cache[key]:5.3f} {cache[key] / cpu:4.2f}")
            else:
                cols.append(f"{'-':>18}")
            if vk:
                key = ("vips", case, vk)
                if key not in cache:
                    if vk == "box" and case == "down":
                        cmd = [VIPS, "shrink", vfile, out_v, str(factor), str(factor)]
                    elif vk == "box":
                        cmd = [VIPS, "resize", vfile, out_v, str(factor), "--kernel", "nearest"]
                    elif case == "down":
                        cmd = [VIPS, "reduce", vfile, out_v, str(factor), str(factor), "--kernel", vk]
                    else:
                        cmd = [VIPS, "resize", vfile, out_v, str(factor), "--kernel", vk]
                    cache[key] = max(0.0, median([external(cmd, env1) for _ in range(runs)]) - vb)
                label = ("shrink" if case == "down" else "resize") if vk == "box" else vk
                cols.append(f"{label:8} {cache[key]:5.3f} {cache[key] / cpu:4.2f}")
            else:
                cols.append(f"{'-':>18}")
            if imop and have_im:
                key = ("im", case, imop)
                if key not in cache:
                    cmd = [CONVERT, "-limit", "thread", "1", ppm, *imop.split(), f"{w2}x{h2}!", out_ppm]
                    cache[key] = max(0.0, median([external(cmd) for _ in range(runs)]) - ib)
                cols.append(f"{imop.replace('-filter ', '').replace(' -resize', ''):18} "
                            f"{cache[key]:5.3f} {cache[key] / cpu:4.2f}")
            else:
                cols.append(f"{'-':>28}")
            mark = "*" if name in KERNEL_FILTERS else " "
            print(f" {mark}{name:11} {cpu:8.3f} {extra:9.1f} {limit:9.1f}   " + "   ".join(cols))
    print("\n* kernel filters (target: no slower than Pillow's filter of the same support). "
          "vips enlarges with resize (an affine interpolator); 'box' peers are vips shrink and "
          "ImageMagick -scale / -filter Box. Extra MB: our peak memory above the source.")


if __name__ == "__main__":
    main()
