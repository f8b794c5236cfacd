#!/usr/bin/env python3
"""Reference images of DICOM files from pydicom's pixel_array, put through the steps the
library's reader takes (first frame; gray: rescale, window and stretch to the full range of
8 or 16 bits, MONOCHROME1 inverted; native gray of 8 bits or fewer only shifted up; colour
as red, green, blue bytes), written at 8 bits per sample as PGM or PPM.

Usage: pydicom_reference.py OUT_DIR FILE...
For each FILE, OUT_DIR/NAME.pnm, or OUT_DIR/NAME.txt holding pydicom's complaint.
"""
import math
import os
import sys

import numpy as np
import pydicom
from pydicom.pixel_data_handlers.util import convert_color_space

NATIVE = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2",
          "1.2.840.10008.1.2.1.99"}


def first_value(ds, keyword, default):
    v = ds.get(keyword)
    if v is None or v == "":
        return default
    if isinstance(v, pydicom.multival.MultiValue):
        v = v[0]
    try:
        return float(v)
    except (TypeError, ValueError):
        return default


def stretch(samples, ds, top):
    """The reader's stretch of gray samples to 0 .. top."""
    slope = first_value(ds, "RescaleSlope", 1.0)
    intercept = first_value(ds, "RescaleIntercept", 0.0)
    centre = first_value(ds, "WindowCenter", -1.0)
    width = first_value(ds, "WindowWidth", -1.0)
    if centre == 0:
        centre = -1.0
    v = samples.astype(np.float64) * slope + intercept
    if centre != -1 and width != -1:
        lo = math.trunc(centre - 0.5 - (width - 1) / 2)
        hi = math.trunc(centre - 0.5 + (width - 1) / 2)
        middle = ((v - (centre - 0.5)) / (width - 1) + 0.5) * top if width != 1 else v
        v = np.where(v <= lo, 0.0, np.where(v >= hi, float(top), middle))
    smallest, largest = v.min(), v.max()
    if largest > smallest:
        out = np.trunc((v - smallest) / (largest - smallest) * top)
    else:
        out = np.trunc(v + (-smallest if smallest < 0 else 0))
    return np.clip(out, 0, top)


def reference(ds):
    """8-bit samples (rows x columns, or rows x columns x 3) of the first frame."""
    arr = ds.pixel_array
    frames = int(ds.get("NumberOfFrames", 1) or 1)
    spp = int(ds.get("SamplesPerPixel", 1))
    if frames > 1:
        arr = arr[0]
    ts = str(ds.file_meta.TransferSyntaxUID)
    photometric = str(ds.get("PhotometricInterpretation", "")).strip().upper()
    stored = int(ds.BitsStored)
    if spp == 3:
        if photometric in ("YBR_FULL", "YBR_FULL_422"):
            arr = convert_color_space(arr, "YBR_FULL", "RGB")
        return arr.astype(np.uint8)
    if int(ds.BitsAllocated) == 1:
        return np.where(arr != 0, 255, 0).astype(np.uint8)
    if ts in NATIVE and stored <= 8:
        out = (arr.astype(np.int64) & ((1 << stored) - 1)) << (8 - stored)
        if photometric == "MONOCHROME1":
            out = 255 - out
        return out.astype(np.uint8)
    wide = stored > 8
    top = 65535 if wide else 255
    out = stretch(arr, ds, top)
    if photometric == "MONOCHROME1":
        out = top - out
    out = out.astype(np.int64)
    return (out >> 8 if wide else out).astype(np.uint8)


def main():
    out_dir = sys.argv[1]
    for path in sys.argv[2:]:
        name = os.path.join(out_dir, os.path.basename(path))
        try:
            ds = pydicom.dcmread(path)
            img = reference(ds)
        except Exception as e:  # pydicom's refusal, kept as text
            with open(name + ".txt", "w") as f:
                f.write(f"{type(e).__name__}: {e}\n")
            continue
        h, w = img.shape[:2]
        magic = b"P6" if img.ndim == 3 else b"P5"
        with open(name + ".pnm", "wb") as f:
            f.write(magic + b"\n%d %d\n255\n" % (w, h) + np.ascontiguousarray(img).tobytes())


if __name__ == "__main__":
    main()
