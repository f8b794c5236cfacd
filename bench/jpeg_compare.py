#!/usr/bin/env python3
"""JPEG on a 24-megapixel photo-like image (4:2:0, quality 80): decoding with the default DCT
method (the library's is the fast integer one) and with the accurate integer one (JpegDctMethod
0, JDCT_ISLOW), decoding a progressive copy, and encoding (JpegQuality 80, other settings
default). Ours is codec_bench (the load or the save timed inside the process); the floor is
jpeg_floor, libjpeg-turbo called with the same settings into or from a whole-image
blue-green-red block. Peers: Pillow (timing its own open+load or save), ImageMagick (`-define
jpeg:dct-method=` to match) and vips (VIPS_CONCURRENCY=1, `vips avg`), whole processes less
their start-up on a tiny JPEG, or, for encoding, less the same program reading the source
without encoding (vips encodes as it reads, so it starts from its own mapped format and
only its start-up is taken off). Pillow decodes with libjpeg's default (accurate integer) method whatever is
asked. See benchlib for how figures are taken; peak RSS is per whole process.

Usage: jpeg_compare.py BUILD_DIR WORK_DIR [RUNS]
"""
import os
import subprocess
import sys

from PIL import Image

from benchlib import CONVERT, Program, measure, photo, pillow, report, size_line, timed

W, H = 6000, 4000
PILLOW_LOAD = timed("Image.open(a[0]).load()")
PILLOW_SAVE = timed("im.save(a[1], quality=80)", "im = Image.open(a[0])\nim.load()\n")


def main():
    build, work = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    bench = os.path.join(build, "bench")
    ours, floor = os.path.join(bench, "codec_bench"), os.path.join(bench, "jpeg_floor")
    path = lambda name: os.path.join(work, name)

    rgb = photo(W, H)
    rgb[:, :, ::-1].tofile(path("photo.bgr"))
    im = Image.fromarray(rgb, "RGB")
    im.save(path("photo.ppm"))
    im.save(path("photo.jpg"), quality=80, subsampling="4:2:0")
    im.save(path("progressive.jpg"), quality=80, subsampling="4:2:0", progressive=True)
    Image.fromarray(rgb[:8, :8], "RGB").save(path("tiny.jpg"), quality=80)
    del im
    tiny = path("tiny.jpg")

    print(f"JPEG, {W}x{H}, 4:2:0, quality 80, one thread, best of {runs}; ratios to the "
          "libjpeg-turbo floor")
    for name, file, dct, ours_dct in (("decode, default DCT (fast integer)", "photo.jpg",
                                       "ifast", []),
                                      ("decode, JDCT_ISLOW", "photo.jpg", "islow",
                                       ["-l", "JpegDctMethod=0"]),
                                      ("decode progressive, default DCT", "progressive.jpg",
                                       "ifast", [])):
        f = path(file)
        define = ["-define", f"jpeg:dct-method={dct}"]
        figures = measure({
            "floor": Program([floor, "decode", f, dct], own=True),
            "lumenax": Program([ours, "load", f] + ours_dct, own=True),
            "Pillow": Program(pillow(PILLOW_LOAD, f), own=True),
            "ImageMagick": Program([CONVERT] + define + [f, "null:"],
                                   [CONVERT] + define + [tiny, "null:"]),
            "vips": Program(["vips", "avg", f], ["vips", "avg", tiny]),
        }, runs)
        report(f"{name} ({os.path.getsize(f):,} B)", figures, "floor",
               [("lumenax", "floor", 1.10)] +
               [("lumenax", peer, 1.0) for peer in ("Pillow", "ImageMagick", "vips")])

    ppm, vfile, tinyv = path("photo.ppm"), path("photo.v"), path("tiny.v")
    # vips encodes while it reads: it starts from its own format, which it maps.
    subprocess.run(["vips", "copy", ppm, vfile], check=True)
    subprocess.run(["vips", "copy", tiny, tinyv], check=True)
    outs = {p: path(f"out-{p}.jpg") for p in ("floor", "lumenax", "Pillow", "IM", "vips")}
    figures = measure({
        "floor": Program([floor, "encode", path("photo.bgr"), str(W), str(H), "80", "ifast",
                          outs["floor"]], own=True),
        "lumenax": Program([ours, "save", ppm, outs["lumenax"], "-s", "JpegQuality=80"],
                           own=True),
        "Pillow": Program(pillow(PILLOW_SAVE, ppm, outs["Pillow"]), own=True),
        "ImageMagick": Program([CONVERT, ppm, "-quality", "80", "-define",
                                "jpeg:dct-method=ifast", outs["IM"]], [CONVERT, ppm, "null:"]),
        "vips": Program(["vips", "copy", vfile, outs["vips"] + "[Q=80]"],
                        ["vips", "copy", tinyv, path("tiny-out.jpg") + "[Q=80]"]),
    }, runs)
    report("encode from 24-bit, quality 80", figures, "floor",
           [("lumenax", "floor", 1.10)] +
           [("lumenax", peer, 1.0) for peer in ("Pillow", "ImageMagick", "vips")])
    print(size_line(outs))


if __name__ == "__main__":
    main()
