#!/usr/bin/env python3
"""GIF: decoding a 12-megapixel photo-like 256-colour GIF to RGB; loading the last frame of a
200-frame 400x300 animation optimised by `gifsicle -O2`; encoding the 12-megapixel image from
an lx8p bitmap (its own indexes) and from 24-bit RGB (quantizing included).
Ours is codec_bench (the load or the save timed inside the process; the lx8p bitmap is the
GIF loaded with NativePixelFormat). The floor is gif_floor: giflib's DGifSlurp plus a palette
lookup into blue-green-red rows, and EGifPutLine over the same indexes. Peers: Pillow (timing
its own load + convert('RGB'), seek to the last frame + convert, or quantize + save) and
ImageMagick (`convert FILE null:`, `-coalesce`, or `convert PPM OUT.gif`), whole processes
less their start-up on a tiny GIF, or, for encoding, less the same program reading the
source. See benchlib for how figures are taken.

Usage: gif_compare.py BUILD_DIR WORK_DIR [RUNS]
"""
import os
import subprocess
import sys

import numpy as np
from PIL import Image

from benchlib import CONVERT, Program, measure, photo, pillow, report, size_line, timed

W, H = 4000, 3000
FRAMES, FW, FH = 200, 400, 300
PILLOW_LOAD = timed("Image.open(a[0]).convert('RGB')")
PILLOW_LAST = timed("im = Image.open(a[0])\nim.seek(im.n_frames - 1)\nim.convert('RGB')")
PILLOW_SAVE = timed("im.quantize(256).save(a[1])", "im = Image.open(a[0])\nim.load()\n")


def animation(path, rgb):
    """A still photo-like background with a bright square and a photo patch moving over it,
    all frames in the background's palette: gifsicle -O2 stores only what changes."""
    background = Image.fromarray(rgb[:FH, :FW], "RGB")
    palette = background.quantize(255, method=Image.Quantize.FASTOCTREE)
    patch = rgb[-60:, -80:]
    frames = []
    for i in range(FRAMES):
        f = np.asarray(background).copy()
        sx, sy = (7 * i) % (FW - 40), (3 * i) % (FH - 40)
        f[sy:sy + 40, sx:sx + 40] = (250, 240, 40)
        px, py = (5 * i) % (FW - 80), FH - 60 - (2 * i) % (FH - 60)
        f[py:py + 60, px:px + 80] = patch
        frames.append(Image.fromarray(f, "RGB").quantize(palette=palette,
                                                         dither=Image.Dither.NONE))
    raw = path + ".raw.gif"
    frames[0].save(raw, save_all=True, append_images=frames[1:], duration=40, loop=0)
    subprocess.run(["gifsicle", "-O2", raw, "-o", path], check=True)


def main():
    build, work = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    bench = os.path.join(build, "bench")
    ours, floor = os.path.join(bench, "codec_bench"), os.path.join(bench, "gif_floor")
    path = lambda name: os.path.join(work, name)

    rgb = photo(W, H)
    im = Image.fromarray(rgb, "RGB")
    im.save(path("photo.ppm"))
    pal = im.quantize(256, method=Image.Quantize.FASTOCTREE)
    pal.save(path("photo.gif"))
    with open(path("photo.idx"), "wb") as f:
        f.write(pal.tobytes())
    with open(path("photo.pal"), "wb") as f:
        f.write(bytes(pal.getpalette()[:768]).ljust(768, b"\0"))
    Image.fromarray(rgb[:8, :8], "RGB").quantize(16).save(path("tiny.gif"))
    animation(path("anim.gif"), rgb)
    del im, pal
    gif, tiny, anim, ppm = path("photo.gif"), path("tiny.gif"), path("anim.gif"), path("photo.ppm")

    print(f"GIF, one thread, best of {runs}")
    figures = measure({
        "giflib floor": Program([floor, "decode", gif], own=True),
        "lumenax": Program([ours, "load", gif], own=True),
        "Pillow": Program(pillow(PILLOW_LOAD, gif), own=True),
        "ImageMagick": Program([CONVERT, gif, "null:"], [CONVERT, tiny, "null:"]),
    }, runs)
    report(f"decode {W}x{H} 256 colours to RGB ({os.path.getsize(gif):,} B)", figures,
           "giflib floor", [("lumenax", "giflib floor", 1.3), ("lumenax", "Pillow", 1.0),
                            ("lumenax", "ImageMagick", 1.0)])

    figures = measure({
        "lumenax": Program([ours, "load", anim, "-l", f"GifImageIndex={FRAMES - 1}"], own=True),
        "Pillow": Program(pillow(PILLOW_LAST, anim), own=True),
        "ImageMagick": Program([CONVERT, anim, "-coalesce", "null:"],
                               [CONVERT, tiny, "null:"]),
    }, runs)
    report(f"last frame of {FRAMES} frames {FW}x{FH}, gifsicle -O2 "
           f"({os.path.getsize(anim):,} B)", figures, "lumenax",
           [("lumenax", "Pillow", 1.0), ("lumenax", "ImageMagick", 1.0)])

    outs = {p: path(f"out-{p}.gif") for p in ("floor", "lx8p", "lx24RGB", "Pillow", "IM")}
    figures = measure({
        "giflib floor": Program([floor, "encode", path("photo.idx"), path("photo.pal"), str(W),
                                 str(H), outs["floor"]], own=True),
        "lumenax": Program([ours, "save", gif, outs["lx8p"], "-l", "NativePixelFormat=true"],
                           own=True),
    }, runs)
    report("encode from lx8p (the same indexes)", figures, "giflib floor",
           [("lumenax", "giflib floor", 1.5)])

    figures = measure({
        "lumenax": Program([ours, "save", ppm, outs["lx24RGB"]], own=True),
        "Pillow": Program(pillow(PILLOW_SAVE, ppm, outs["Pillow"]), own=True),
        "ImageMagick": Program([CONVERT, ppm, outs["IM"]], [CONVERT, ppm, "null:"]),
    }, runs)
    report("encode from 24-bit RGB, quantizing included", figures, "lumenax",
           [("lumenax", "Pillow", 1.0), ("lumenax", "ImageMagick", 1.0)])
    print(size_line(outs))


if __name__ == "__main__":
    main()
