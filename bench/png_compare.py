#!/usr/bin/env python3
"""PNG encode and decode of 24-megapixel RGB and RGBA images: our codec against libpng
called directly with the same settings (the floor), Pillow and ImageMagick, measured in
one run. Runs of the different programs alternate, so that load on the machine hits them
alike; each figure is the median of its runs.

Usage: png_compare.py BUILD_DIR WORK_DIR [RUNS]
"""
import io
import os
import statistics
import subprocess
import sys
import time

from PIL import Image

W, H = 6000, 4000
LEVEL = 5
CONVERT = "/usr/bin/convert"  # ImageMagick (not a stand-in found on PATH)


def run(cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def wall(cmd):
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True, capture_output=True)
    return time.perf_counter() - t0


def main():
    build, work = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    ours = os.path.join(build, "bench", "png_bench")
    floor = os.path.join(build, "bench", "png_floor")
    os.makedirs(work, exist_ok=True)
    have_im = os.access(CONVERT, os.X_OK)

    print(f"PNG codec, {W}x{H} pixels, deflate level {LEVEL}, median of {runs} runs "
          f"(ratio: time / libpng floor)")
    # ImageMagick's time includes starting the program and reading its input; that part,
    # measured separately, is subtracted.
    tiny = os.path.join(work, "tiny.png")
    Image.new("RGB", (1, 1)).save(tiny)
    for channels, mode in ((3, "RGB"), (4, "RGBA")):
        raw = os.path.join(work, f"image{channels}.raw")
        run([ours, "gen", str(W), str(H), str(channels), raw])
        with open(raw, "rb") as f:
            pil_image = Image.frombytes(mode, (W, H), f.read())
        im_input = ["-size", f"{W}x{H}", "-depth", "8", f"{mode.lower()}:{raw}"]
        im_read = statistics.median(wall([CONVERT, *im_input, "null:"]) for _ in range(runs)) if have_im else 0

        for filt in (0, 5):
            outs = {k: os.path.join(work, f"{mode}-f{filt}-{k}.png") for k in ("ours", "floor", "pillow", "im")}
            t = {k: [] for k in outs}
            for _ in range(runs):
                t["ours"].append(float(run([ours, "encode", raw, str(W), str(H), str(channels), str(LEVEL), str(filt), outs["ours"], "1"])))
                t["floor"].append(float(run([floor, "encode", raw, str(W), str(H), str(channels), str(LEVEL), str(filt), outs["floor"], "1"])))
                t0 = time.perf_counter()
                pil_image.save(outs["pillow"], compress_level=LEVEL)
                t["pillow"].append(time.perf_counter() - t0)
                if have_im:
                    t["im"].append(wall([CONVERT, *im_input, "-quality", f"{LEVEL}{filt}", outs["im"]]) - im_read)
            report("encode", mode, filt, t, {k: os.path.getsize(v) for k, v in outs.items() if os.path.exists(v)})

            # Decoding: every program reads the file our encoder wrote.
            src = outs["ours"]
            d = {k: [] for k in ("ours", "floor", "pillow", "im")}
            im_start = statistics.median(wall([CONVERT, tiny, "null:"]) for _ in range(runs)) if have_im else 0
            for _ in range(runs):
                d["ours"].append(float(run([ours, "decode", src, "1"])))
                d["floor"].append(float(run([floor, "decode", src, "1"])))
                t0 = time.perf_counter()
                with Image.open(src) as im:
                    im.load()
                d["pillow"].append(time.perf_counter() - t0)
                if have_im:
                    d["im"].append(wall([CONVERT, src, "null:"]) - im_start)
            report("decode", mode, filt, d, None)
    print("Pillow chooses its own filter for every row whatever the setting (adaptive), and "
          "ImageMagick is given -quality "
          f"{LEVEL}F (level {LEVEL}, filter F: 0 none, 5 adaptive).")


def report(what, mode, filt, times, sizes):
    med = {k: statistics.median(v) for k, v in times.items() if v}
    base = med["floor"]
    names = {"ours": "lumenax", "floor": "libpng floor", "pillow": "Pillow", "im": "ImageMagick"}
    parts = []
    for k in ("ours", "floor", "pillow", "im"):
        if k not in med:
            continue
        size = f", {sizes[k] / 1e6:.2f} MB" if sizes and k in sizes else ""
        parts.append(f"{names[k]} {med[k]:.3f}s ({med[k] / base:.2f}x{size})")
    print(f"{what} {mode:4} PngFilter {filt}: " + "; ".join(parts))


if __name__ == "__main__":
    main()
