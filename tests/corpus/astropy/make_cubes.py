#!/usr/bin/python3
"""Writes the small colour cubes of this folder with astropy, as other programs write them.

Run once by hand (the tests read the files, never this script):
    /usr/bin/python3 tests/corpus/astropy/make_cubes.py tests/corpus/astropy

- red.fits, green.fits, blue.fits: 16 x 12 grey frames of 32-bit floats with fractions and
  negative values; rgb.fits: the cube numpy stacks of the three (NAXIS3 = 3, red first),
  with the red frame's OBJECT card.
- night1.fits .. night3.fits: 32 x 24 x 3 cubes of 16-bit integers, a sky with a few stars
  shifted from frame to frame by fractions of a pixel, each plane brighter by its own
  factor; night<k>_red.fits, night<k>_green.fits, night<k>_blue.fits: their planes as grey
  files of the same sample format.
"""
import sys

import numpy as np
from astropy.io import fits

out = sys.argv[1] if len(sys.argv) > 1 else "."
rng = np.random.default_rng(22)


def write(name, data, cards=()):
    hdu = fits.PrimaryHDU(data)
    for key, value in cards:
        hdu.header[key] = value
    hdu.writeto(f"{out}/{name}", overwrite=True)


# Three filtered frames and the cube stacked from them.
planes = []
for p, name in enumerate(("red", "green", "blue")):
    plane = (rng.normal(500.0 + 150.0 * p, 40.0, (12, 16)) - 300.0 * (p == 2)).astype(np.float32)
    planes.append(plane)
    write(f"{name}.fits", plane, [("OBJECT", "M 42"), ("FILTER", name)])
write("rgb.fits", np.stack(planes), [("OBJECT", "M 42"), ("FILTER", "red")])

# A night of three colour frames.
height, width = 24, 32
yy, xx = np.mgrid[0:height, 0:width]
stars = [(15.2, 11.6, 9000.0), (6.3, 5.1, 2500.0), (25.7, 18.4, 3500.0), (4.8, 19.9, 1800.0)]
shifts = [(0.0, 0.0), (1.6, -1.3), (-2.4, 0.7)]
for k, (dx, dy) in enumerate(shifts, start=1):
    cube = np.empty((3, height, width), dtype=np.int16)
    for p, factor in enumerate((0.8, 1.0, 0.6)):
        sky = rng.normal(800.0, 12.0, (height, width))
        for x, y, flux in stars:
            sky += factor * flux * np.exp(-((xx - x - dx) ** 2 + (yy - y - dy) ** 2) / (2 * 1.3**2))
        cube[p] = np.clip(np.round(sky), 0, 32767).astype(np.int16)
    write(f"night{k}.fits", cube)
    for p, name in enumerate(("red", "green", "blue")):
        write(f"night{k}_{name}.fits", cube[p])
