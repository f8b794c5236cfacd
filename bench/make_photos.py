#!/usr/bin/env python3
"""Writes COUNT photo-like BMP files of about 2 megapixels into a folder: smooth colour
fields with fine noise, half 24-bit, half 32-bit with a soft alpha channel.
Usage: make_photos.py FOLDER [COUNT]"""
import os
import struct
import sys

import numpy as np

W, H = 1632, 1224


def photo(rng):
    # Smooth fields: a coarse random grid blown up with bilinear interpolation.
    gy, gx = 9, 12
    coarse = rng.uniform(20, 235, size=(gy, gx, 3))
    ys = np.linspace(0, gy - 1, H)
    xs = np.linspace(0, gx - 1, W)
    y0 = np.floor(ys).astype(int).clip(0, gy - 2)
    x0 = np.floor(xs).astype(int).clip(0, gx - 2)
    fy = (ys - y0)[:, None, None]
    fx = (xs - x0)[None, :, None]
    a = coarse[y0][:, x0]
    b = coarse[y0][:, x0 + 1]
    c = coarse[y0 + 1][:, x0]
    d = coarse[y0 + 1][:, x0 + 1]
    img = (a * (1 - fx) + b * fx) * (1 - fy) + (c * (1 - fx) + d * fx) * fy
    img += rng.normal(0, 4, size=img.shape)
    return img.clip(0, 255).astype(np.uint8)


def alpha():
    yy, xx = np.mgrid[0:H, 0:W]
    d = np.hypot((xx - W / 2) / (W / 2), (yy - H / 2) / (H / 2))
    return (255 * (1.2 - d).clip(0, 1)).astype(np.uint8)


def write_bmp(path, rgb, a=None):
    bits = 24 if a is None else 32
    bgr = rgb[::-1, :, ::-1]  # bottom-up rows, blue first
    if a is not None:
        bgr = np.concatenate([bgr, a[::-1, :, None]], axis=2)
    row = W * bits // 8
    pad = (-row) % 4
    data = bgr.reshape(H, row)
    if pad:
        data = np.concatenate([data, np.zeros((H, pad), np.uint8)], axis=1)
    pixels = data.tobytes()
    header = struct.pack("<IiiHHIIiiII", 40, W, H, 1, bits, 0, len(pixels), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(b"BM" + struct.pack("<IHHI", 54 + len(pixels), 0, 0, 54))
        f.write(header)
        f.write(pixels)


def main():
    folder = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(2026)
    a = alpha()
    for i in range(count):
        write_bmp(os.path.join(folder, f"photo{i:03d}.bmp"), photo(rng), a if i % 2 else None)


if __name__ == "__main__":
    main()
