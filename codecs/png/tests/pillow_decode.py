"""Decodes PNG files with Pillow for the writer tests.

For each file F given, writes F.rgba (8-bit RGBA, row-major; 16-bit gray as its high byte)
and prints one line: F, Pillow's mode, width, height, dpi (or -), and the text chunks as
key=value pairs separated by tabs.
"""
import sys

from PIL import Image

for path in sys.argv[1:]:
    with Image.open(path) as im:
        im.load()
        mode = im.mode
        if mode in ("I;16", "I;16B", "I"):
            px = [v >> 8 for v in im.getdata()]
            rgba = bytearray()
            for v in px:
                rgba += bytes((v, v, v, 255))
        else:
            rgba = im.convert("RGBA").tobytes()
        with open(path + ".rgba", "wb") as f:
            f.write(rgba)
        dpi = im.info.get("dpi")
        dpi_text = "%.3f,%.3f" % dpi if dpi else "-"
        texts = "\t".join("%s=%s" % kv for kv in getattr(im, "text", {}).items())
        print("%s\t%s\t%d\t%d\t%s\t%s" % (path, mode, im.width, im.height, dpi_text, texts))
