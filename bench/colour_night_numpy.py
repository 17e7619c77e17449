#!/usr/bin/python3
"""The numpy reference for a one-shot colour night, with the true shifts.

Reads the night that gen_data.py --night --bayer PATTERN writes (frame_*.fit, dark.fit,
flat.fit, truth/shifts.csv) and stacks it the plain way, every step in float64:

1. astropy reads every frame, the dark and the flat (BZERO applied).
2. Dark subtraction: frame - dark (the dark holds the bias).
3. Flat division by the flat normalised for each filter colour: each of the four places
   of the 2 x 2 cell divided by its own mean, so the flat keeps the colour balance.
4. Bilinear demosaicing: each colour's missing pixels are the mean of the nearest pixels
   of that colour (2 or 4 of them), the mosaic mirrored about its edge pixels.
5. Each plane shifted onto the first frame by its TRUE shift (truth/shifts.csv: a star at
   (x, y) in frame 1 stands at (x + dx, y + dy) in frame k), with a separable Lanczos-3
   kernel (weights normalised to a sum of 1), the frame's edge values repeated outward.
6. The per-pixel median of the shifted frames, plane by plane.

The result is written as a float32 cube (3, height, width) in R, G, B order. Pixels that
not every frame covers hold repeated edge values: compare only the region all frames
cover (colour_night_check.py does).

usage: colour_night_numpy.py NIGHT_DIR OUT.fits [DEBAYERED_FRAME_1.fits]
The optional third argument also writes frame 1 demosaiced (before any shift).
"""
import csv
import glob
import os
import sys

import numpy as np
from astropy.io import fits

COLOURS = "RGB"


def sites(pattern):
    """(row parity, column parity, plane) for the four places of the cell."""
    return [(k // 2, k % 2, COLOURS.index(pattern[k])) for k in range(4)]


def normalised_flat(flat, pattern):
    out = np.empty_like(flat)
    for dr, dc, _ in sites(pattern):
        part = flat[dr::2, dc::2]
        out[dr::2, dc::2] = part / part.mean()
    return out


def shifted_sum(padded, h, w, taps):
    """sum over (dy, dx, weight) of weight * padded[1 + dy : 1 + dy + h, 1 + dx : 1 + dx + w]."""
    out = np.zeros((h, w))
    for dy, dx, wt in taps:
        out += wt * padded[1 + dy:1 + dy + h, 1 + dx:1 + dx + w]
    return out


GREEN_TAPS = [(0, 0, 1.0), (-1, 0, 0.25), (1, 0, 0.25), (0, -1, 0.25), (0, 1, 0.25)]
REDBLUE_TAPS = [(0, 0, 1.0), (-1, 0, 0.5), (1, 0, 0.5), (0, -1, 0.5), (0, 1, 0.5),
                (-1, -1, 0.25), (-1, 1, 0.25), (1, -1, 0.25), (1, 1, 0.25)]


def bilinear(mosaic, pattern):
    """(3, h, w): the mosaic's samples of each colour, zeros elsewhere, convolved with the
    bilinear kernel; with the mosaic mirrored about its edge pixels, so every neighbour
    keeps its filter."""
    h, w = mosaic.shape
    planes = np.empty((3, h, w))
    mask = np.zeros((3, h, w))
    for dr, dc, p in sites(pattern):
        mask[p, dr::2, dc::2] = 1.0
    for p in range(3):
        padded = np.pad(mosaic * mask[p], 1, mode="reflect")
        planes[p] = shifted_sum(padded, h, w, GREEN_TAPS if p == 1 else REDBLUE_TAPS)
    return planes


def lanczos3(t):
    t = np.asarray(t, dtype=np.float64)
    out = np.ones_like(t)
    nz = t != 0
    a = np.pi * t[nz]
    out[nz] = 3.0 * np.sin(a) * np.sin(a / 3.0) / (a * a)
    out[np.abs(t) >= 3.0] = 0.0
    return out


def shift_axis(values, shift, axis):
    """out[i] = values[i + shift] along axis, Lanczos-3, edge values repeated."""
    whole = int(np.floor(shift))
    frac = shift - whole
    if frac == 0.0:
        offsets, weights = [whole], [1.0]
    else:
        offsets = [whole + j for j in range(-2, 4)]
        weights = lanczos3(frac - np.arange(-2, 4))
        weights = weights / weights.sum()
    n = values.shape[axis]
    pad = max(abs(o) for o in offsets) + 1
    widths = [(0, 0)] * values.ndim
    widths[axis] = (pad, pad)
    padded = np.pad(values, widths, mode="edge")
    out = np.zeros_like(values)
    for o, wt in zip(offsets, weights):
        index = [slice(None)] * values.ndim
        index[axis] = slice(pad + o, pad + o + n)
        out += wt * padded[tuple(index)]
    return out


def main():
    night, out_path = sys.argv[1], sys.argv[2]
    single_path = sys.argv[3] if len(sys.argv) > 3 else None
    frames = sorted(glob.glob(os.path.join(night, "frame_*.fit")))
    with open(os.path.join(night, "truth", "shifts.csv")) as f:
        shifts = {int(r["frame"]): (float(r["dx"]), float(r["dy"])) for r in csv.DictReader(f)}
    dark = fits.getdata(os.path.join(night, "dark.fit")).astype(np.float64)
    flat_hdu = fits.open(os.path.join(night, "flat.fit"))
    pattern = flat_hdu[0].header["BAYERPAT"].strip().upper()
    flat = normalised_flat(flat_hdu[0].data.astype(np.float64), pattern)
    h, w = dark.shape
    cube = np.empty((3, len(frames), h, w), dtype=np.float32)
    for k, path in enumerate(frames):
        with fits.open(path) as hdul:
            number = int(hdul[0].header["FRAMENO"])
            if hdul[0].header["BAYERPAT"].strip().upper() != pattern:
                sys.exit("%s: another pattern than the flat's" % path)
            raw = hdul[0].data.astype(np.float64)
        colour = bilinear((raw - dark) / flat, pattern)
        if k == 0 and single_path:
            fits.PrimaryHDU(colour.astype(np.float32)).writeto(single_path, overwrite=True)
        dx, dy = shifts[number]
        for p in range(3):
            cube[p, k] = shift_axis(shift_axis(colour[p], dy, 0), dx, 1)
    stack = np.empty((3, h, w), dtype=np.float32)
    for p in range(3):
        stack[p] = np.median(cube[p], axis=0)
    fits.PrimaryHDU(stack).writeto(out_path, overwrite=True)


if __name__ == "__main__":
    main()
