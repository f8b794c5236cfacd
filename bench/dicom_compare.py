#!/usr/bin/env python3
"""DICOM: loading a 4096x4096 16-bit CT slice with a window (pydicom writes it in explicit
little endian; dcmcrle and `dcmcjpeg --encode-lossless-sv1` make the RLE and lossless JPEG
copies), all on one thread. Ours is codec_bench (the load, with rescale and window, timed
inside the process). Against: a plain read() of the native file (io_floor), dcmdrle and
dcmdjpeg (to a native file), `gdcmconv --raw`, whole processes less their start-up on a tiny
file of the same kind, and pydicom (timing its own dcmread + pixel_array; left out where it
has no decoder for the syntax). See benchlib for how figures are taken.

Usage: dicom_compare.py BUILD_DIR WORK_DIR [RUNS]
"""
import os
import subprocess
import sys

import numpy as np
import pydicom
from pydicom.dataset import FileDataset, FileMetaDataset
from pydicom.uid import CTImageStorage, ExplicitVRLittleEndian, generate_uid

from benchlib import PYTHON, Program, measure, report, run, timed

N = 4096
PYDICOM = [PYTHON, "-c", "import sys\nimport pydicom\n" +
           timed("pydicom.dcmread(sys.argv[1]).pixel_array")]


def ct(n):
    """A body in air: a soft-tissue ellipse with bone, smooth variations and scanner noise,
    stored values 0..~3000 (rescale intercept -1024)."""
    rng = np.random.default_rng(7)
    yy, xx = np.mgrid[0:n, 0:n].astype(np.float32) / n
    body = ((xx - 0.5) / 0.42) ** 2 + ((yy - 0.5) / 0.33) ** 2 < 1
    bone = ((xx - 0.5) / 0.06) ** 2 + ((yy - 0.62) / 0.05) ** 2 < 1
    img = np.where(body, 1064 + 30 * np.sin(9 * xx) * np.cos(7 * yy), 24)
    img = np.where(bone, 2400, img) + rng.normal(0, 12, size=(n, n))
    return img.clip(0, 4095).astype(np.uint16)


def write_native(path, pixels):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = CTImageStorage
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds = FileDataset(path, {}, file_meta=meta, preamble=b"\0" * 128)
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.SOPClassUID, ds.SOPInstanceUID = CTImageStorage, meta.MediaStorageSOPInstanceUID
    ds.Modality, ds.PatientName = "CT", "Bench^Phantom"
    ds.Rows, ds.Columns = pixels.shape
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 0
    ds.RescaleIntercept, ds.RescaleSlope = "-1024", "1"
    ds.WindowCenter, ds.WindowWidth = "40", "400"
    ds.PixelData = pixels.tobytes()
    ds.save_as(path, write_like_original=False)


def main():
    build, work = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    bench = os.path.join(build, "bench")
    ours, floor = os.path.join(bench, "codec_bench"), os.path.join(bench, "io_floor")
    path = lambda name: os.path.join(work, name)

    for prefix, n in (("", N), ("tiny-", 16)):
        native = path(prefix + "native.dcm")
        write_native(native, ct(n))
        subprocess.run(["dcmcrle", native, path(prefix + "rle.dcm")], check=True)
        subprocess.run(["dcmcjpeg", "--encode-lossless-sv1", native, path(prefix + "sv1.dcm")],
                       check=True)

    print(f"DICOM, {N}x{N} 16-bit CT with a window, one thread, best of {runs}; ratios to the "
          "plain read() of the native file")
    for name, file, dcmtk in (("native", "native.dcm", None), ("RLE", "rle.dcm", "dcmdrle"),
                              ("lossless JPEG SV1", "sv1.dcm", "dcmdjpeg")):
        f, t = path(file), path("tiny-" + file)
        programs = {
            "read() floor": Program([floor, "read", path("native.dcm")], own=True),
            "lumenax": Program([ours, "load", f], own=True),
        }
        if dcmtk:
            programs[dcmtk] = Program([dcmtk, f, path("out.dcm")], [dcmtk, t, path("out.dcm")])
        programs["gdcmconv --raw"] = Program(["gdcmconv", "--raw", f, path("out.dcm")],
                                             ["gdcmconv", "--raw", t, path("out.dcm")])
        try:
            run(PYDICOM + [t])
            programs["pydicom"] = Program(PYDICOM + [f], own=True)
        except RuntimeError:
            print(f"  (pydicom {pydicom.__version__} has no decoder here for {name})")
        figures = measure(programs, runs)
        goals = ([("lumenax", "read() floor", 3.0)] if not dcmtk else
                 [("lumenax", dcmtk, 1.0), ("lumenax", "gdcmconv --raw", 1.0)])
        report(f"load {name} ({os.path.getsize(f):,} B)", figures, "read() floor", goals)


if __name__ == "__main__":
    main()
