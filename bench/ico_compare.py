"""Times icon writing and loading by lumenax, ImageMagick and Pillow (see bench/ico.sh)."""
import subprocess
import sys
import time

from PIL import Image

build, work, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
lumenax = f"{build}/app/lumenax"
convert = "/usr/bin/convert"  # not the stand-in on PATH
sizes = [256, 128, 64, 48, 32, 24, 16]

# A 1024 x 1024 picture with gradients and a soft alpha edge.
src = Image.new("RGBA", (1024, 1024))
src.putdata([(x // 4, y // 4, (x ^ y) & 255, min(255, (x + y) // 4))
              for y in range(1024) for x in range(1024)])
src.save(f"{work}/src.png")


def best(commands):
    """Best wall time of runs repetitions of the command list (each run does them all)."""
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        for c in commands:
            subprocess.run(c, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - t)
    return min(times)


pil_save = ("from PIL import Image; Image.open('%s/src.png').save('%s/pil.ico', sizes=%r, "
            "bitmap_format='bmp')" % (work, work, [(s, s) for s in sizes]))
write = {
    "lumenax": [[lumenax, "convert", "-s", "IcoSizes=" + ",".join(f"{s}x{s}" for s in sizes),
                 "-s", "IcoBitCounts=" + ",".join("32" for _ in sizes),
                 f"{work}/src.png", f"{work}/ours.ico"]],
    "ImageMagick": [[convert, f"{work}/src.png", "-define",
                     "icon:auto-resize=" + ",".join(map(str, sizes)), f"{work}/im.ico"]],
    "Pillow": [["/usr/bin/python3", "-c", pil_save]],
}
# Every image our reader can select (the 256 one has size bytes 0 and is not counted while
# smaller ones exist), one process per image for every program.
images = len(sizes) - 1
pil_load = ("from PIL import IcoImagePlugin; f = IcoImagePlugin.IcoFile(open('%s/ours.ico', 'rb'));"
            " f.frame(%d).load()")
load = {
    "lumenax": [[lumenax, "info", "-l", f"IcoImageIndex={k}", f"{work}/ours.ico"]
                for k in range(images)],
    "ImageMagick": [[convert, f"{work}/ours.ico[{k + 1}]", "null:"] for k in range(images)],
    "Pillow": [["/usr/bin/python3", "-c", pil_load % (work, k + 1)] for k in range(images)],
}
for title, table in (("write the 7-size icon", write), ("load 6 images", load)):
    t = {name: best(cmds) for name, cmds in table.items()}
    print(f"{title}: " + ", ".join(f"{n} {v * 1000:.1f} ms" for n, v in t.items()))
    for n in ("ImageMagick", "Pillow"):
        print(f"  lumenax / {n}: {t['lumenax'] / t[n]:.2f}")
