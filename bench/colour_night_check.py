#!/usr/bin/python3
"""Judges colour stacks of a night from gen_data.py --night --bayer PATTERN against its truth.

usage: colour_night_check.py NIGHT_DIR SINGLE.fits STACK.fits [STACK.fits ...]

SINGLE is frame 1 demosaiced (not stacked, not shifted); each STACK a (3, h, w) colour stack
aligned onto frame 1. Every image is a cube in R, G, B order. For each stack it prints:

- residual: the region that every frame covers (from truth/shifts.csv), less a margin of 8
  pixels; in it each plane p of the stack is matched to the truth by a least-squares fit
  stack_p ~ a_p truth_p + b_p (level and scale: the calibrated frames are on the camera's
  scale, the truth on the sky's), and the residual is the RMS of stack_p - (a_p truth_p + b_p)
  over all three planes, also divided by a_G (for stacks on another scale). "stars" is the same RMS over the pixels where the truth stands more
  than 50 ADU above its sky (where demosaicing and registration show); a_p are printed too.
- colour: aperture photometry of the bright, isolated, unsaturated stars of truth/stars.csv
  (aperture radius max(6, 4 sigma), sky the median of an annulus 4 to 10 pixels beyond it)
  on each plane; R/G and B/G against the truth's ratios times what the camera sees: the
  filter response as the per-colour flat normalisation keeps it, the ratio of the flat's mean
  over its red (blue) places to its mean over its green places (0.85 and 0.65 times the
  vignetting's mean over those places). Printed: the median of measured / expected - 1
  (systematic) and the median and 90th percentile of |measured / expected - 1| per star.
- sharpness: a round Gaussian with a constant sky fitted to the green plane around each of
  those stars (21 x 21 pixels), FWHM = 2.3548 sigma; the median over the stars of the
  stack's FWHM / SINGLE's FWHM for the same star.
"""
import csv
import os
import sys

import numpy as np
from astropy.io import fits
from scipy.optimize import least_squares

MARGIN = 8


def load_cube(path):
    data = fits.getdata(path).astype(np.float64)
    if data.ndim != 3 or data.shape[0] != 3:
        sys.exit("%s: not a colour cube (3, h, w) but %s" % (path, data.shape))
    return data


def common_region(night, h, w):
    with open(os.path.join(night, "truth", "shifts.csv")) as f:
        rows = list(csv.DictReader(f))
    dx = np.array([float(r["dx"]) for r in rows])
    dy = np.array([float(r["dy"]) for r in rows])
    # frame k covers frame-1 column x when 0 <= x + dx <= w - 1
    x0 = int(np.ceil(max(0.0, -dx.min()))) + MARGIN
    x1 = int(np.floor(min(w - 1.0, w - 1.0 - dx.max()))) - MARGIN
    y0 = int(np.ceil(max(0.0, -dy.min()))) + MARGIN
    y1 = int(np.floor(min(h - 1.0, h - 1.0 - dy.max()))) - MARGIN
    return y0, y1 + 1, x0, x1 + 1


def site_means(night):
    hdu = fits.open(os.path.join(night, "flat.fit"))[0]
    flat = hdu.data.astype(np.float64)
    pattern = hdu.header["BAYERPAT"].strip().upper()
    sums = {c: [] for c in "RGB"}
    for k in range(4):
        sums[pattern[k]].append(flat[k // 2::2, k % 2::2].mean())
    return {c: float(np.mean(v)) for c, v in sums.items()}


def stars(night, region):
    with open(os.path.join(night, "truth", "stars.csv")) as f:
        rows = [{k: float(v) for k, v in r.items()} for r in csv.DictReader(f)]
    y0, y1, x0, x1 = region
    pos = np.array([(r["x"] - 1.0, r["y"] - 1.0) for r in rows])
    chosen = []
    for i, r in enumerate(rows):
        c, l = pos[i]
        if not (x0 + 20 <= c < x1 - 20 and y0 + 20 <= l < y1 - 20):
            continue
        others = np.delete(pos, i, axis=0)
        if np.min(np.hypot(others[:, 0] - c, others[:, 1] - l)) < 25.0:
            continue
        norm = 2.0 * np.pi * r["sigma"] ** 2
        # the raw peak: the brightest colour through its filter, on the sky, bias and dark
        raw_peak = max(resp * (sky + r[key] / norm) for resp, sky, key in
                       ((0.85, 1000.0 / 1.1, "flux_r"), (1.0, 1000.0, "flux_g"), (0.65, 1000.0 * 1.3 / 1.1, "flux_b")))
        if raw_peak + 310.0 > 50000.0:
            continue
        if r["flux_g"] / norm < 300.0:  # faint: colour and width drown in noise
            continue
        chosen.append(r)
    return chosen


def photometry(cube, r):
    c, l = r["x"] - 1.0, r["y"] - 1.0
    radius = max(6.0, 4.0 * r["sigma"])
    outer = radius + 10.0
    ci, li = int(round(c)), int(round(l))
    n = int(np.ceil(outer)) + 1
    cut = cube[:, li - n:li + n + 1, ci - n:ci + n + 1]
    yy, xx = np.mgrid[li - n:li + n + 1, ci - n:ci + n + 1]
    d = np.hypot(xx - c, yy - l)
    inside = d <= radius
    ring = (d >= radius + 4.0) & (d <= outer)
    return [float(np.sum(cut[p][inside] - np.median(cut[p][ring]))) for p in range(3)]


def fwhm(plane, r):
    c, l = r["x"] - 1.0, r["y"] - 1.0
    ci, li = int(round(c)), int(round(l))
    cut = plane[li - 10:li + 11, ci - 10:ci + 11]
    yy, xx = np.mgrid[-10:11, -10:11].astype(np.float64)

    def model(q):
        b, a, x0, y0, s = q
        return b + a * np.exp(-((xx - x0) ** 2 + (yy - y0) ** 2) / (2.0 * s * s))

    start = [float(np.median(cut)), float(cut.max() - np.median(cut)), c - ci, l - li, r["sigma"]]
    fit = least_squares(lambda q: (model(q) - cut).ravel(), start)
    return 2.3548 * abs(fit.x[4])


def main():
    night, single_path, stack_paths = sys.argv[1], sys.argv[2], sys.argv[3:]
    truth = fits.getdata(os.path.join(night, "truth", "sky.fit")).astype(np.float64)
    h, w = truth.shape[1:]
    region = common_region(night, h, w)
    y0, y1, x0, x1 = region
    means = site_means(night)
    k_rg, k_bg = means["R"] / means["G"], means["B"] / means["G"]
    chosen = stars(night, region)
    print("region rows %d..%d, columns %d..%d (0-based); %d stars for colour and width" % (y0, y1 - 1, x0, x1 - 1, len(chosen)))
    print("camera's response kept by the flat: R/G x %.4f, B/G x %.4f (nominal 0.85, 0.65)" % (k_rg, k_bg))
    single = load_cube(single_path)
    single_fwhm = np.array([fwhm(single[1], r) for r in chosen])
    truth_fwhm = np.array([2.3548 * r["sigma"] for r in chosen])
    print("single frame: median FWHM %.3f px (truth %.3f px)" % (np.median(single_fwhm), np.median(truth_fwhm)))
    t = truth[:, y0:y1, x0:x1]
    sky_level = np.median(t.reshape(3, -1), axis=1)
    star_pixels = (t - sky_level[:, None, None]) > 50.0
    for path in stack_paths:
        cube = load_cube(path)
        s = cube[:, y0:y1, x0:x1]
        squares, star_squares, count, star_count, scales = 0.0, 0.0, 0, 0, []
        for p in range(3):
            design = np.stack([t[p].ravel(), np.ones(t[p].size)], axis=1)
            (a, b), *_ = np.linalg.lstsq(design, s[p].ravel(), rcond=None)
            scales.append(a)
            res = s[p] - (a * t[p] + b)
            squares += float(np.sum(res * res))
            count += res.size
            star_squares += float(np.sum(res[star_pixels[p]] ** 2))
            star_count += int(np.count_nonzero(star_pixels[p]))
        rms = np.sqrt(squares / count)
        star_rms = np.sqrt(star_squares / max(star_count, 1))
        errs = []
        for r in chosen:
            fr, fg, fb = photometry(cube, r)
            errs.append(((fr / fg) / (r["flux_r"] / r["flux_g"] * k_rg) - 1.0, (fb / fg) / (r["flux_b"] / r["flux_g"] * k_bg) - 1.0))
        errs = np.array(errs)
        ratio = np.array([fwhm(cube[1], r) for r in chosen]) / single_fwhm
        print(path)
        print("  residual RMS %.3f ADU (star pixels %.3f ADU, %d of them); scales a_R %.4g a_G %.4g a_B %.4g"
              % (rms, star_rms, star_count, scales[0], scales[1], scales[2]))
        print("  the same on the truth's scale (divided by a_G): %.3f (star pixels %.3f)" % (rms / scales[1], star_rms / scales[1]))
        for name, e in (("R/G", errs[:, 0]), ("B/G", errs[:, 1])):
            print("  %s: systematic %+.2f%%, per star median |err| %.2f%%, 90th percentile %.2f%%"
                  % (name, 100 * np.median(e), 100 * np.median(np.abs(e)), 100 * np.percentile(np.abs(e), 90)))
        print("  FWHM stack / single: median %.4f (25%% %.4f, 75%% %.4f); stack median FWHM %.3f px"
              % (np.median(ratio), np.percentile(ratio, 25), np.percentile(ratio, 75), np.median(ratio * single_fwhm)))


if __name__ == "__main__":
    main()
