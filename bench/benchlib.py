"""Shared by the codec benchmark drivers (pixels, jpeg, gif, jp2, dicom): photo-like test
images, programs timed as whole processes with their runs alternating (so that load from
other work on the machine hits them alike), best of RUNS, and the table of figures, ratios
and goals.

Figures: our bench program (codec_bench), the floor programs and the Pillow scripts time
their own work and print it ("WALL CPU" seconds); every other program is a whole process
whose start-up, timed on a tiny input of the same kind in the same rounds, is taken off. Wall
and processor seconds are both reported: on a machine shared with other work the processor
seconds are the steadier figure.
"""
import os
import subprocess
import tempfile
import time

import numpy as np

PYTHON = "/usr/bin/python3"  # the system's, with Pillow, numpy and pydicom
CONVERT = "/usr/bin/convert"  # ImageMagick (not a stand-in found on PATH)
# Every program on one thread.
ONE_THREAD = dict(os.environ, VIPS_CONCURRENCY="1", MAGICK_THREAD_LIMIT="1",
                  OMP_NUM_THREADS="1", OPJ_NUM_THREADS="1")


def photo(w, h, seed=5):
    """Smooth colour fields with fine noise, H x W x 3 bytes (red, green, blue)."""
    rng = np.random.default_rng(seed)
    gy, gx = 9, 12
    coarse = rng.uniform(20, 235, size=(gy, gx, 3)).astype(np.float32)
    ys = np.linspace(0, gy - 1, h, dtype=np.float32)
    xs = np.linspace(0, gx - 1, w, dtype=np.float32)
    y0 = np.floor(ys).astype(int).clip(0, gy - 2)
    x0 = np.floor(xs).astype(int).clip(0, gx - 2)
    fy = (ys - y0)[:, None, None]
    fx = (xs - x0)[None, :, None]
    img = (coarse[y0][:, x0] * (1 - fx) + coarse[y0][:, x0 + 1] * fx) * (1 - fy) + \
          (coarse[y0 + 1][:, x0] * (1 - fx) + coarse[y0 + 1][:, x0 + 1] * fx) * fy
    img += rng.normal(0, 4, size=img.shape).astype(np.float32)
    return img.clip(0, 255).astype(np.uint8)


def timed(body, setup=""):
    """Python code that runs SETUP, then BODY timed, and prints "WALL CPU" seconds of BODY."""
    return (f"import time\n{setup}t, c = time.perf_counter(), time.process_time()\n{body}\n"
            "print(time.perf_counter() - t, time.process_time() - c)")


def pillow(script, *args):
    """A Pillow program: SCRIPT runs with `Image` and its format plugins imported and the
    arguments in `a`."""
    prologue = "import sys\nfrom PIL import Image\nImage.init()\na = sys.argv[1:]\n"
    return [PYTHON, "-c", prologue + script, *args]


class Program:
    """CMD timed as a whole process, less the best time of START (the same program on a tiny
    input), or by its own figure when OWN (it prints "WALL CPU")."""

    def __init__(self, cmd, start=None, own=False, env=None, stdout=None):
        self.cmd, self.start, self.own, self.env = cmd, start, own, env or ONE_THREAD
        self.stdout = stdout  # a file name for standard output, else it is discarded


def run(cmd, env=None, stdout=None, keep=True):
    """Runs CMD; returns (wall seconds, processor seconds, peak RSS in MiB, standard output).
    Standard output goes to the file STDOUT when given, else it is kept when KEEP, else to
    /dev/null. The peak RSS comes from /usr/bin/time, so that it is the program's own and not
    that of the copy of this process the program starts from."""
    with tempfile.TemporaryFile() as captured, tempfile.NamedTemporaryFile() as rss:
        sink = open(stdout, "wb") if stdout else captured if keep else subprocess.DEVNULL
        t0 = time.perf_counter()
        p = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", rss.name] + list(cmd),
                             stdout=sink, stderr=subprocess.PIPE, env=env or ONE_THREAD)
        err = p.stderr.read()
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.perf_counter() - t0
        p.returncode = os.waitstatus_to_exitcode(status)
        p.stderr.close()
        if stdout:
            sink.close()
        if p.returncode != 0:
            raise RuntimeError(f"{' '.join(map(str, cmd))} failed ({p.returncode}): "
                               f"{err.decode(errors='replace').strip()}")
        captured.seek(0)
        return (wall, usage.ru_utime + usage.ru_stime, int(rss.read().split()[-1]) / 1024,
                captured.read().decode(errors="replace"))


class Figures:
    """Best wall and processor seconds of a program's work, of its whole process and of its
    start-up, and its smallest peak RSS."""

    def __init__(self):
        inf = float("inf")
        self.work = self.cpu = self.wall = self.start = self.start_cpu = self.rss = inf
        self.proc_cpu = inf
        self.failure = None  # why the program failed, if it did

    def add(self, wall, cpu, rss, output, own):
        self.wall, self.proc_cpu = min(self.wall, wall), min(self.proc_cpu, cpu)
        self.rss = min(self.rss, rss)
        if own:
            w, c = map(float, output.split()[:2])
            self.work, self.cpu = min(self.work, w), min(self.cpu, c)

    def done(self):
        if self.work == float("inf"):
            started = self.start != float("inf")
            self.work = self.wall - (self.start if started else 0.0)
            self.cpu = self.proc_cpu - (self.start_cpu if started else 0.0)
        return self


def measure(programs, runs, settle=False):
    """{name: Program} -> {name: Figures}, best of RUNS rounds; in each round every program
    (and its start-up run) runs once, in turn. SETTLE flushes the page cache's dirty pages
    before each run, so that a program writing large files does not pay for the writeback of
    the one before it."""
    figures = {name: Figures() for name in programs}
    for _ in range(runs):
        for name, p in programs.items():
            f = figures[name]
            if f.failure:
                continue
            if settle:
                os.sync()
            try:
                f.add(*run(p.cmd, p.env, p.stdout, p.own), p.own)
                if p.start and not p.own:
                    wall, cpu, _, _ = run(p.start, p.env, None, False)
                    f.start, f.start_cpu = min(f.start, wall), min(f.start_cpu, cpu)
            except RuntimeError as e:
                f.failure = str(e).strip().splitlines()[-1][:100]
    return {name: f.done() for name, f in figures.items()}


def ratio(a, b):
    return a / b if b > 0 else float("nan")


def report(title, figures, ref, goals=()):
    """Prints the figures with their ratios to REF, then each goal (A, B, FACTOR): A's work
    within FACTOR times B's, by wall and by processor time (the machine is shared: processor
    time is the steadier figure)."""
    print(f"\n{title}")
    print(f"  {'program':22} {'wall s':>8} {'cpu s':>8} {'wall x':>7} {'cpu x':>7}"
          f" {'process s':>10} {'peak MiB':>9}   (x: to {ref})")
    r = figures[ref]
    for name, f in figures.items():
        if f.failure:
            print(f"  {name:22} failed: {f.failure}")
            continue
        print(f"  {name:22} {f.work:8.3f} {f.cpu:8.3f} {ratio(f.work, r.work):7.2f} "
              f"{ratio(f.cpu, r.cpu):7.2f} {f.wall:10.3f} {f.rss:9.0f}")
    for a, b, factor in goals:
        if figures[a].failure or figures[b].failure:
            print(f"  goal {a} / {b} <= {factor:.2f}: not measured")
            continue
        wall = ratio(figures[a].work, figures[b].work)
        cpu = ratio(figures[a].cpu, figures[b].cpu)
        verdict = "met" if wall <= factor else "met by cpu only" if cpu <= factor else "MISSED"
        print(f"  goal {a} / {b} <= {factor:.2f}: wall {wall:.2f}, cpu {cpu:.2f}: {verdict}")


def size_line(files):
    """One line of output sizes: {label: path}."""
    return "  sizes: " + ", ".join(f"{k} {os.path.getsize(v):,} B" for k, v in files.items())
