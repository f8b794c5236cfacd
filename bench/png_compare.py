#!/usr/bin/env python3
"""PNG encode and decode of 24-megapixel RGB and RGBA images: our codec against libpng
called directly with the same settings (the floor), Pillow and ImageMagick, measured in
one run. Runs of the different programs alternate, so that load on the machine hits them
alike; each figure is the median of its runs. Ratios are of processor time (user + system),
which other work on a shared machine disturbs far less than the wall clock; wall times are
shown beside them.

Usage: png_compare.py BUILD_DIR WORK_DIR [RUNS]
"""
import os
import resource
import statistics
import subprocess
import sys
import time

from PIL import Image

W, H = 6000, 4000
LEVEL = 5
CONVERT = "/usr/bin/convert"  # ImageMagick (not a stand-in found on PATH)
# ImageMagick's -quality: tens digit the deflate level, units digit the filter. Its 6.9 PNG
# writer filters adaptively for a units digit of 0 or 5 and not at all for 1 (checked with
# pngcheck -vv), so "no filter" is asked for with 1.
IM_QUALITY = {0: f"{LEVEL}1", 5: f"{LEVEL}5"}


def timed(cmd):
    """(wall, cpu) printed by one of our programs."""
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.split()
    return float(out[0]), float(out[1])


def timed_peak(cmd):
    """(wall, cpu, peak resident KiB) printed by one of our programs."""
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.split()
    return float(out[0]), float(out[1]), int(out[2])


def parallel(ours, floor, work, runs):
    """The writer deflating one image on 1 and 2 threads against the floor (one thread):
    wall-clock ratios, since the point is to finish sooner, not to spend less processor
    time; output sizes and peak memory beside them."""
    raw = os.path.join(work, "image3.raw")
    subprocess.run([ours, "gen", str(W), str(H), "3", raw], check=True)
    print(f"Parallel deflate, {W}x{H} RGB (as loaded from a 24-bit BMP), level {LEVEL}, median of "
          f"{runs} runs (ratio: wall time / libpng floor; the floor uses one core)")
    for filt in (0, 5):
        args = [raw, str(W), str(H), "3", str(LEVEL), str(filt)]
        outs = {k: os.path.join(work, f"par-f{filt}-{k}.png") for k in ("floor", "w1", "w2")}
        t = {k: [] for k in outs}
        for _ in range(runs):
            t["floor"].append(timed_peak([floor, "encode", *args, outs["floor"], "1"]))
            t["w1"].append(timed_peak([ours, "encode", *args, outs["w1"], "1", "1"]))
            t["w2"].append(timed_peak([ours, "encode", *args, outs["w2"], "1", "2"]))
        base_wall = statistics.median(r[0] for r in t["floor"])
        base_size = os.path.getsize(outs["floor"])
        base_peak = max(r[2] for r in t["floor"])
        print(f"encode RGB PngFilter {filt}")
        names = {"floor": "libpng floor", "w1": "1 worker", "w2": "2 workers"}
        for k in ("floor", "w1", "w2"):
            wall = statistics.median(r[0] for r in t[k])
            cpu = statistics.median(r[1] for r in t[k])
            peak = max(r[2] for r in t[k])
            size = os.path.getsize(outs[k])
            print(f"  {names[k]:13} {wall / base_wall:6.2f}x  wall {wall:7.3f}s  cpu {cpu:7.3f}s  "
                  f"{size / 1e6:7.2f} MB ({(size - base_size) / base_size * 100:+.2f} %)  "
                  f"peak {peak / 1024:6.1f} MiB ({(peak - base_peak) / 1024:+.1f})")


def child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def external(cmd):
    """(wall, cpu) of a whole program run."""
    t0, c0 = time.perf_counter(), child_cpu()
    subprocess.run(cmd, check=True, capture_output=True)
    return time.perf_counter() - t0, child_cpu() - c0


def in_process(fn):
    t0, c0 = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - t0, time.process_time() - c0


def minus(a, b):
    return a[0] - b[0], a[1] - b[1]


def median_pair(pairs):
    return statistics.median(p[0] for p in pairs), statistics.median(p[1] for p in pairs)


def main():
    build, work = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    ours = os.path.join(build, "bench", "png_bench")
    floor = os.path.join(build, "bench", "png_floor")
    os.makedirs(work, exist_ok=True)
    have_im = os.access(CONVERT, os.X_OK)

    parallel(ours, floor, work, runs)
    if os.environ.get("LX_BENCH_PARALLEL_ONLY"):
        return

    print(f"PNG codec, {W}x{H} pixels, deflate level {LEVEL}, median of {runs} runs "
          f"(ratio: processor time / libpng floor)")
    # ImageMagick's time includes starting the program and reading its input; that part,
    # measured separately, is subtracted.
    tiny = os.path.join(work, "tiny.png")
    Image.new("RGB", (1, 1)).save(tiny)
    for channels, mode in ((3, "RGB"), (4, "RGBA")):
        raw = os.path.join(work, f"image{channels}.raw")
        subprocess.run([ours, "gen", str(W), str(H), str(channels), raw], check=True)
        with open(raw, "rb") as f:
            pil_image = Image.frombytes(mode, (W, H), f.read())
        im_input = ["-size", f"{W}x{H}", "-depth", "8", f"{mode.lower()}:{raw}"]
        im_read = median_pair([external([CONVERT, *im_input, "null:"]) for _ in range(runs)]) if have_im else None

        for filt in (0, 5):
            outs = {k: os.path.join(work, f"{mode}-f{filt}-{k}.png") for k in ("ours", "floor", "pillow", "im")}
            t = {k: [] for k in outs}
            args = [raw, str(W), str(H), str(channels), str(LEVEL), str(filt)]
            for _ in range(runs):
                t["ours"].append(timed([ours, "encode", *args, outs["ours"], "1"]))
                t["floor"].append(timed([floor, "encode", *args, outs["floor"], "1"]))
                t["pillow"].append(in_process(lambda: pil_image.save(outs["pillow"], compress_level=LEVEL)))
                if have_im:
                    t["im"].append(minus(external([CONVERT, *im_input, "-quality", IM_QUALITY[filt], outs["im"]]), im_read))
            report("encode", mode, filt, t, {k: os.path.getsize(v) for k, v in outs.items() if os.path.exists(v)})

            # Decoding: every program reads the file our encoder wrote.
            src = outs["ours"]
            d = {k: [] for k in ("ours", "floor", "pillow", "im")}
            im_start = median_pair([external([CONVERT, tiny, "null:"]) for _ in range(runs)]) if have_im else None

            def pillow_decode():
                with Image.open(src) as im:
                    im.load()

            for _ in range(runs):
                d["ours"].append(timed([ours, "decode", src, "1"]))
                d["floor"].append(timed([floor, "decode", src, "1"]))
                d["pillow"].append(in_process(pillow_decode))
                if have_im:
                    d["im"].append(minus(external([CONVERT, src, "null:"]), im_start))
            report("decode", mode, filt, d, None)
    print(f"Pillow has no filter setting and always filters adaptively; ImageMagick was given "
          f"-quality {IM_QUALITY[0]} (no filter) and {IM_QUALITY[5]} (adaptive). ImageMagick's "
          "figures are whole program runs less a run that only reads the input (encode) or a "
          "1x1 PNG (decode).")


def report(what, mode, filt, times, sizes):
    med = {k: median_pair(v) for k, v in times.items() if v}
    base = med["floor"][1]
    names = {"ours": "lumenax", "floor": "libpng floor", "pillow": "Pillow", "im": "ImageMagick"}
    print(f"{what} {mode} PngFilter {filt}")
    for k in ("ours", "floor", "pillow", "im"):
        if k not in med:
            continue
        wall_s, cpu_s = med[k]
        size = f"  {sizes[k] / 1e6:7.2f} MB" if sizes and k in sizes else ""
        print(f"  {names[k]:13} {cpu_s / base:6.2f}x  cpu {cpu_s:7.3f}s  wall {wall_s:7.3f}s{size}")


if __name__ == "__main__":
    main()
