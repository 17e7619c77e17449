#!/usr/bin/python3
"""The numpy reference for calibrating a night: every light frame of INDIR (frame_*.fit) minus
dark.fit, divided by flat.fit, multiplied by the flat's mean, frame by frame (read, compute in
float64, write float32), into OUTDIR under the frame's name.

usage: calibrate_numpy.py INDIR OUTDIR
"""
import glob
import os
import sys

import numpy as np
from astropy.io import fits


def main():
    indir, outdir = sys.argv[1], sys.argv[2]
    os.makedirs(outdir, exist_ok=True)
    dark = fits.getdata(os.path.join(indir, "dark.fit")).astype(np.float64)
    flat = fits.getdata(os.path.join(indir, "flat.fit")).astype(np.float64)
    scale = flat.mean()
    for path in sorted(glob.glob(os.path.join(indir, "frame_*.fit"))):
        with fits.open(path) as hdul:
            header = hdul[0].header.copy()
            data = hdul[0].data.astype(np.float64)
        result = (data - dark) / flat * scale
        header["BITPIX"] = -32
        for key in ("BZERO", "BSCALE"):
            header.remove(key, ignore_missing=True)
        fits.PrimaryHDU(result.astype(np.float32), header=header).writeto(
            os.path.join(outdir, os.path.basename(path)), overwrite=True)


if __name__ == "__main__":
    main()
