#!/usr/bin/env python3
"""Uncompressed and run-length formats on a 24-megapixel photo-like image, against a plain
read() of the image stored uncompressed (72 MB, io_floor): headerless raw pixels (-t
ftRawPixels --alloc 6000x4000:lx24RGB, red first as by default, and blue first with
RawPixelsBitmapOrder), P6, P5, TGA plain and RLE, PCX 8-bit and 24-bit
decoded by us (codec_bench, the load timed inside the process), Pillow (timing its own open
and load from a file object, so the pixels are read rather than mapped), ImageMagick
(`convert FILE null:`) and netpbm (pnmtopnm, tgatoppm, pcxtoppm into /dev/null), these two
whole processes with their start-up on a tiny file taken off; encoding P6, TGA and PCX against a plain write() of the pixel bytes; a 4-megapixel P3 against
netpbm and Pillow. See benchlib for how figures are taken.

Usage: pixels_compare.py BUILD_DIR WORK_DIR [RUNS]
"""
import os
import subprocess
import sys

from PIL import Image

from benchlib import CONVERT, Program, measure, photo, pillow, report, timed

W, H = 6000, 4000
PILLOW_LOAD = timed("Image.open(open(a[0], 'rb')).load()")


def main():
    build, work = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    bench = os.path.join(build, "bench")
    ours, floor = os.path.join(bench, "codec_bench"), os.path.join(bench, "io_floor")
    path = lambda name: os.path.join(work, name)

    rgb = photo(W, H)
    raw = path("photo.rgb")
    rgb.tofile(raw)
    im = Image.fromarray(rgb, "RGB")
    tiny = Image.fromarray(rgb[:8, :8], "RGB")
    pal = im.quantize(256, method=Image.Quantize.FASTOCTREE, dither=Image.Dither.NONE)
    kinds = {  # name: (file, image, save options, netpbm reader)
        "P6": ("p6.ppm", im, {}, "pnmtopnm"),
        "P5": ("p5.pgm", im.convert("L"), {}, "pnmtopnm"),
        "TGA plain": ("plain.tga", im, {}, "tgatoppm"),
        "TGA RLE": ("rle.tga", im, {"compression": "tga_rle"}, "tgatoppm"),
        "PCX 8-bit": ("p8.pcx", pal, {}, "pcxtoppm"),
        "PCX 24-bit": ("p24.pcx", im, {}, "pcxtoppm"),
    }
    for name, (file, image, options, _) in kinds.items():
        image.save(path(file), **options)
        small = tiny.convert(image.mode) if image.mode != "P" else tiny.quantize(16)
        small.save(path("tiny-" + file), **options)
    del im, pal

    def read_floor():
        return Program([floor, "read", raw], own=True)

    raw_load = [ours, "load", raw, "-t", "ftRawPixels", "--alloc", f"{W}x{H}:lx24RGB"]
    print(f"Decoding a {W}x{H} photo-like image, best of {runs}; ratios to the plain read() "
          "of its 72 MB")
    figures = measure({
        "read() floor": read_floor(),
        "lumenax raw pixels": Program(raw_load, own=True),
        "lumenax, bitmap order": Program(raw_load + ["-l", "RawPixelsBitmapOrder=true"],
                                         own=True),
    }, runs)
    report("raw pixels (headerless 24-bit, red first; or blue first as the bitmap keeps them)",
           figures, "read() floor", [("lumenax raw pixels", "read() floor", 1.5),
                                     ("lumenax, bitmap order", "read() floor", 1.5)])

    for name, (file, _, _, netpbm) in kinds.items():
        f, t = path(file), path("tiny-" + file)
        programs = {
            "read() floor": read_floor(),
            "lumenax": Program([ours, "load", f], own=True),
            "Pillow": Program(pillow(PILLOW_LOAD, f), own=True),
            "ImageMagick": Program([CONVERT, f, "null:"], [CONVERT, t, "null:"]),
            "netpbm": Program([netpbm, f], [netpbm, t]),
        }
        goal = 3.0 if "RLE" in name or "PCX" in name else 1.5
        goals = [("lumenax", "read() floor", goal)]
        if name in ("P5", "PCX 8-bit"):
            # Gray and palette images load as 24-bit unless the file's layout is kept.
            programs["lumenax native"] = Program([ours, "load", f, "-l", "NativePixelFormat=true"],
                                                 own=True)
            goals.append(("lumenax native", "read() floor", goal))
        figures = measure(programs, runs)
        report(f"decode {name} ({os.path.getsize(f):,} B)", figures, "read() floor",
               goals + [("lumenax", peer, 1.0) for peer in ("Pillow", "ImageMagick", "netpbm")])

    p6 = path("p6.ppm")
    for name, out, settings in (("P6", "out.ppm", []), ("TGA plain", "out.tga",
                                                       ["-s", "TgaCompressed=false"]),
                                ("TGA RLE", "rle-out.tga", ["-s", "TgaCompressed=true"]),
                                ("PCX 24-bit", "out.pcx", [])):
        figures = measure({
            "write() floor": Program([floor, "write", path("out.raw"), str(W * H * 3)], own=True),
            "lumenax": Program([ours, "save", p6, path(out)] + settings, own=True),
        }, runs, settle=True)
        goal = [("lumenax", "write() floor", 2.0)] if name != "TGA RLE" else []
        report(f"encode {name} from 24-bit ({os.path.getsize(path(out)):,} B)", figures,
               "write() floor", goal)

    # A plain (text) P3 of 4 megapixels.
    Image.fromarray(rgb[:1632, :2448], "RGB").save(path("p3src.ppm"))
    tiny.save(path("tiny-p3src.ppm"))
    for src in ("p3src.ppm", "tiny-p3src.ppm"):
        with open(path(src.replace("src", "")), "wb") as out:
            subprocess.run(["pnmtoplainpnm", path(src)], stdout=out, check=True)
    p3, t3 = path("p3.ppm"), path("tiny-p3.ppm")
    figures = measure({
        "netpbm": Program(["pnmtopnm", p3], ["pnmtopnm", t3]),
        "lumenax": Program([ours, "load", p3], own=True),
        "Pillow": Program(pillow(PILLOW_LOAD, p3), own=True),
    }, runs)
    report(f"decode P3 2448x1632 ({os.path.getsize(p3):,} B)", figures, "netpbm",
           [("lumenax", "netpbm", 1.0), ("lumenax", "Pillow", 1.0)])


if __name__ == "__main__":
    main()
