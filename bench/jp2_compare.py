#!/usr/bin/env python3
"""JPEG 2000: encoding a 24-megapixel photo-like RGB image as JP2, lossless and at rate 0.05
(a twentieth of the raw size, one layer), and decoding both files, all on one thread
(OPJ_NUM_THREADS=1, -threads 1). Ours is codec_bench (the load or the save timed inside the
process, the save with Jp2Rate). The floor is jp2_floor: libopenjp2 called with the library's
parameters, from or into a whole-image blue-green-red block. Peers: opj_compress and
opj_decompress (whole processes reading or writing PPM, less their start-up on a tiny image),
Pillow (timing its own load or save; `quality_layers=[20]` for the rate) and ImageMagick
(`-define jp2:rate=20`), whole processes less the same program without the JPEG 2000 work.
See benchlib for how figures are taken.

Usage: jp2_compare.py BUILD_DIR WORK_DIR [RUNS]
"""
import os
import sys

from PIL import Image

from benchlib import CONVERT, Program, measure, photo, pillow, report, size_line, timed

W, H = 6000, 4000
PILLOW_LOAD = timed("Image.open(a[0]).load()")
# a[2]: the compression ratio, 0 for lossless.
PILLOW_SAVE = timed("im.save(a[1], **({'quality_mode': 'rates', 'quality_layers': [float(a[2])]}"
                    " if float(a[2]) else {}))", "im = Image.open(a[0])\nim.load()\n")


def main():
    build, work = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    bench = os.path.join(build, "bench")
    ours, floor = os.path.join(bench, "codec_bench"), os.path.join(bench, "jp2_floor")
    path = lambda name: os.path.join(work, name)

    rgb = photo(W, H)
    rgb[:, :, ::-1].tofile(path("photo.bgr"))
    Image.fromarray(rgb, "RGB").save(path("photo.ppm"))
    Image.fromarray(rgb[:64, :64], "RGB").save(path("tiny.ppm"))
    Image.fromarray(rgb[:64, :64], "RGB").save(path("tiny.jp2"))
    ppm, tinyppm, tiny = path("photo.ppm"), path("tiny.ppm"), path("tiny.jp2")

    print(f"JPEG 2000, {W}x{H} RGB, one thread, best of {runs}; ratios to the libopenjp2 floor")
    decoded = {}
    for name, rate in (("lossless", 1.0), ("rate 0.05", 0.05)):
        ratio = 0 if rate >= 1 else round(1 / rate)
        outs = {p: path(f"{p}-{ratio}.jp2") for p in ("floor", "lumenax", "opj", "Pillow", "IM")}
        opj_rate = ["-r", str(ratio)] if ratio else []
        im_rate = ["-define", f"jp2:rate={ratio}"] if ratio else ["-quality", "100"]
        figures = measure({
            "floor": Program([floor, "encode", path("photo.bgr"), str(W), str(H), str(rate),
                              outs["floor"]], own=True),
            "lumenax": Program([ours, "save", ppm, outs["lumenax"], "-s", f"Jp2Rate={rate}"],
                               own=True),
            "opj_compress": Program(["opj_compress", "-threads", "1", "-i", ppm, "-o",
                                     outs["opj"]] + opj_rate,
                                    ["opj_compress", "-threads", "1", "-i", tinyppm, "-o",
                                     path("tiny-out.jp2")]),
            "Pillow": Program(pillow(PILLOW_SAVE, ppm, outs["Pillow"], str(ratio)), own=True),
            "ImageMagick": Program([CONVERT, ppm] + im_rate + [outs["IM"]],
                                   [CONVERT, ppm, "null:"]),
        }, runs)
        report(f"encode {name}", figures, "floor", [("lumenax", "floor", 1.10)])
        print(size_line(outs))
        decoded[name] = outs["floor"]

    for name, f in decoded.items():
        figures = measure({
            "floor": Program([floor, "decode", f], own=True),
            "lumenax": Program([ours, "load", f], own=True),
            "opj_decompress": Program(["opj_decompress", "-threads", "1", "-i", f, "-o",
                                       path("out.ppm")],
                                      ["opj_decompress", "-threads", "1", "-i", tiny, "-o",
                                       path("tiny-out.ppm")]),
            "Pillow": Program(pillow(PILLOW_LOAD, f), own=True),
            "ImageMagick": Program([CONVERT, f, "null:"], [CONVERT, tiny, "null:"]),
        }, runs)
        report(f"decode {name} ({os.path.getsize(f):,} B)", figures, "floor",
               [("lumenax", "floor", 1.10)])


if __name__ == "__main__":
    main()
