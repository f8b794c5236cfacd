#!/usr/bin/env python3
"""Makes the inputs of the resampling comparisons and resamples them with the peers.

  resample_peers.py DIR

Everything is written into DIR, with few peer processes: Pillow in this process, one
ImageMagick run that writes its own test files, one that does all its resizes, and one vips
run per kernel.

Kernel comparisons. Our resampler aligns the first and last pixels of source and target
(scale S = (W - 1) / (W' - 1)); the peers centre pixels at (i + 1/2) * W / W' - 1/2. A peer
reproduces our positions when the source is first padded by P = (Q + 1/2) * S - 1/2 pixels
with our edge rule (-j on the left, 2W - 1 - j on the right), resized to W' + 2Q and cropped
by Q pixels on each side (the test crops). S = 3 ("down": 58x43 -> 20x15, Q = 4, P = 13)
and S = 1/3 ("up": 20x15 -> 58x43, Q = 13, P = 4).

Files:
  photo_down.ppm, photo_up.ppm            the sources (gradients, a fine pattern, noise)
  {peer}_{filter}_{case}.ppm              peer results of the padded sources
  rgba_pil.png, rgba_im.png               RGBA sources written by Pillow and ImageMagick
  alpha_{src}_{peer}_{filter}_{case}.pgm  their alpha planes resized the same way
  area.png, pil_reduce3.ppm, im_scale_20x15.ppm, im_scale_26x19.ppm
  gray16.png, pil_reduce3_16.png, im_scale16_20x15.png
  noise_pil.png, plasma_im.png, bw_pil.png, bw_im.png   files for the exact checks
"""
import os
import subprocess
import sys

from PIL import Image

CONVERT = "/usr/bin/convert"  # ImageMagick itself, not a stand-in found on PATH
VIPS = "vips"

CASES = {
    # case: (source size, target size, Q, P)
    "down": ((58, 43), (20, 15), 4, 13),
    "up": ((20, 15), (58, 43), 13, 4),
}
PIL_FILTERS = {"bilinear": Image.BILINEAR, "lanczos": Image.LANCZOS, "box": Image.BOX,
               "bicubic": Image.BICUBIC}
IM_FILTERS = ["Triangle", "Hermite", "Quadratic", "Cubic", "Lanczos", "Mitchell", "Box"]
VIPS_KERNELS = ["linear", "mitchell", "lanczos3"]


def lcg(seed):
    while True:
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        yield seed


def photo(w, h, seed=1):
    """Smooth light, a diagonal texture, a fine two-pixel pattern and noise."""
    import math
    rnd = lcg(seed)
    im = Image.new("RGB", (w, h))
    px = im.load()
    for y in range(h):
        for x in range(w):
            n = next(rnd) % 41 - 20
            fine = 30 if (x // 2 + y) % 2 else -30
            base = 40 + 150 * x / max(1, w - 1)
            tex = 50 * math.sin(x * 0.7 + y * 0.45)
            r = base + tex + n + fine
            g = 200 - 120 * y / max(1, h - 1) + n - fine
            b = 128 + tex * 1.5 + (next(rnd) % 61 - 30)
            px[x, y] = tuple(max(0, min(255, int(v))) for v in (r, g, b))
    return im


def reflect(j, n):
    if j < 0:
        j = -j
    if j >= n:
        j = 2 * n - 1 - j
    return max(0, min(n - 1, j))


def pad(im, p):
    w, h = im.size
    out = Image.new(im.mode, (w + 2 * p, h + 2 * p))
    src, dst = im.load(), out.load()
    for y in range(h + 2 * p):
        for x in range(w + 2 * p):
            dst[x, y] = src[reflect(x - p, w), reflect(y - p, h)]
    return out


def rgba_pillow(w, h):
    """Colour with an alpha ramp, a fully transparent block and a soft disc."""
    im = photo(w, h, seed=7).convert("RGBA")
    px = im.load()
    for y in range(h):
        for x in range(w):
            r, g, b, _ = px[x, y]
            a = int(255 * x / (w - 1))
            if 6 <= x < 30 and 8 <= y < 30:
                a = 0
            d = ((x - 44) ** 2 + (y - 12) ** 2) ** 0.5
            if d < 9:
                a = max(0, min(255, int(255 - 28 * d)))
            px[x, y] = (r, g, b, a)
    return im


def run(cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


def main():
    work = sys.argv[1]
    os.chdir(work)
    im_cmds = []  # resizes of the one ImageMagick run: (input, geometry, option, output)

    # ---- kernel comparisons
    for case, ((w, h), (w2, h2), q, p) in CASES.items():
        src = photo(w, h, seed=3 if case == "down" else 5)
        src.save(f"photo_{case}.ppm")
        padded = pad(src, p)
        padded.save(f"pad_{case}.ppm")
        size = (w2 + 2 * q, h2 + 2 * q)
        for name, f in PIL_FILTERS.items():
            padded.resize(size, f).save(f"pil_{name}_{case}.ppm")
        for f in IM_FILTERS:
            im_cmds.append((f"pad_{case}.ppm", size, ["-filter", f, "-resize"],
                            f"ppm:im_{f.lower()}_{case}.ppm"))

    # ---- files the peers write
    rgba_pillow(58, 43).save("rgba_pil.png")
    rgba_pillow(20, 15).save("rgba_pil_small.png")
    area = photo(60, 45, seed=11)
    area.save("area.png")
    g16 = Image.new("I", (60, 45))
    gp, ap = g16.load(), area.load()
    for y in range(45):
        for x in range(60):
            r, g, b = ap[x, y]
            gp[x, y] = (r * 257 + g * 131 + b * 7) % 65536
    g16.convert("I;16").save("gray16.png")
    rnd = lcg(99)
    noise = Image.new("RGB", (37, 23))
    npx = noise.load()
    for y in range(23):
        for x in range(37):
            npx[x, y] = (next(rnd) % 256, (x * 7 + y * 3) % 256, 255 if (x + y) % 5 == 0 else next(rnd) % 256)
    noise.save("noise_pil.png")
    bw = Image.new("1", (41, 29))
    bpx = bw.load()
    for y in range(29):
        for x in range(41):
            bpx[x, y] = 255 if next(rnd) % 3 == 0 else 0
    bw.save("bw_pil.png")
    run([CONVERT, "-seed", "7", "-size", "41x29", "plasma:", "-depth", "8", "-type", "TrueColor",
         "-write", "PNG24:plasma_im.png",
         "-monochrome", "-write", "PNG:bw_im.png",
         "+delete", "-size", "58x43", "gradient:orange-navy", "(", "-size", "58x43",
         "radial-gradient:white-black", ")", "-alpha", "off", "-compose", "CopyOpacity",
         "-composite", "-write", "PNG32:rgba_im.png",
         "+delete", "-size", "20x15", "gradient:orange-navy", "(", "-size", "20x15",
         "radial-gradient:white-black", ")", "-alpha", "off", "-compose", "CopyOpacity",
         "-composite", "PNG32:rgba_im_small.png"])

    # ---- alpha planes, resized like colour
    for src in ("pil", "im"):
        for case, ((w, h), (w2, h2), q, p) in CASES.items():
            name = f"rgba_{src}.png" if case == "down" else f"rgba_{src}_small.png"
            alpha = Image.open(name).convert("RGBA").getchannel("A")
            padded = pad(alpha, p)
            padded.save(f"apad_{src}_{case}.pgm")
            size = (w2 + 2 * q, h2 + 2 * q)
            for fname in ("bilinear", "lanczos"):
                padded.resize(size, PIL_FILTERS[fname]).save(f"alpha_{src}_pil_{fname}_{case}.pgm")
            for f in ("Triangle", "Lanczos"):
                im_cmds.append((f"apad_{src}_{case}.pgm", size, ["-filter", f, "-resize"],
                                f"pgm:alpha_{src}_im_{f.lower()}_{case}.pgm"))

    # ---- area-weighted reductions
    area.reduce(3).save("pil_reduce3.ppm")
    Image.open("gray16.png").reduce(3).save("pil_reduce3_16.png")
    im_cmds.append(("area.png", (20, 15), ["-scale"], "ppm:im_scale_20x15.ppm"))
    im_cmds.append(("area.png", (26, 19), ["-scale"], "ppm:im_scale_26x19.ppm"))
    im_cmds.append(("gray16.png", (20, 15), ["-scale"], "-depth 16 PNG:im_scale16_20x15.png"))

    # One ImageMagick run for every resize: each input read once, each result written.
    cmd = [CONVERT]
    for inp, (w2, h2), option, out in im_cmds:
        extra = out.split(" ")
        cmd += ["(", inp, *option, f"{w2}x{h2}!", *extra[:-1], "-write", extra[-1], "+delete",
                ")"]
    cmd += ["-size", "1x1", "xc:black", "null:"]
    run(cmd)

    env = dict(os.environ, VIPS_CONCURRENCY="1")
    for k in VIPS_KERNELS:
        subprocess.run([VIPS, "reduce", "pad_down.ppm", f"vips_{k}_down.ppm", "3", "3",
                        "--kernel", k], check=True, env=env)


if __name__ == "__main__":
    main()
