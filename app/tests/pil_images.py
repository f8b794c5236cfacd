#!/usr/bin/env python3
"""Makes and checks images with Pillow for the converter's end-to-end tests.

  pil_images.py make DIR          writes the input set into DIR
  pil_images.py same A B          exit 0 when A and B hold the same pixels and alpha
"""
import struct
import sys

from PIL import Image


def rgba_of(path):
    """RGBA pixels of a file; the fourth byte of 32-bit BMP files is read as alpha."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] == b"BM":
        header_size = struct.unpack_from("<I", data, 14)[0]
        if header_size >= 40:
            w, h, _, bits, comp = struct.unpack_from("<iiHHI", data, 18)
            if bits == 32 and comp == 0:
                offset = struct.unpack_from("<I", data, 10)[0]
                rows = []
                for k in range(abs(h)):
                    start = offset + k * w * 4
                    row = []
                    for x in range(w):
                        b, g, r, a = data[start + 4 * x: start + 4 * x + 4]
                        row.append((r, g, b, a))
                    rows.append(row)
                if h > 0:
                    rows.reverse()
                return (w, abs(h)), [p for row in rows for p in row]
    im = Image.open(path)
    im.load()
    return im.size, list(im.convert("RGBA").getdata())


def make(folder):
    w, h = 23, 17
    rgb = Image.new("RGB", (w, h))
    rgb.putdata([((x * 11) % 256, (y * 15) % 256, (x * y) % 256) for y in range(h) for x in range(w)])
    rgb.save(f"{folder}/photo.bmp")
    rgb.save(f"{folder}/flat.png")
    rgba = Image.new("RGBA", (w, h))
    rgba.putdata([((x * 11) % 256, (y * 15) % 256, 128, 0 if x < 3 else (y * 15) % 256)
                  for y in range(h) for x in range(w)])
    rgba.save(f"{folder}/glass.png")
    pal = Image.new("P", (w, h))
    pal.putpalette([0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255])
    pal.putdata([(x + y) % 4 for y in range(h) for x in range(w)])
    pal.save(f"{folder}/icons.png", transparency=0)
    rgb.save(f"{folder}/camera.png", format="JPEG")  # a JPEG named .png
    rgb.save(f"{folder}/cut.bmp")
    with open(f"{folder}/cut.bmp", "rb") as f:
        data = f.read()
    with open(f"{folder}/cut.bmp", "wb") as f:
        f.write(data[: len(data) // 2])


def same(a, b):
    size_a, pa = rgba_of(a)
    size_b, pb = rgba_of(b)
    if size_a != size_b:
        print(f"sizes differ: {size_a} {size_b}")
        return 1
    diff = [i for i in range(len(pa)) if pa[i] != pb[i]]
    if diff:
        i = diff[0]
        print(f"{len(diff)} pixels differ; first at {i % size_a[0]},{i // size_a[0]}: {pa[i]} {pb[i]}")
        return 1
    return 0


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2])
        sys.exit(0)
    sys.exit(same(sys.argv[2], sys.argv[3]))
