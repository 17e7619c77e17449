#!/usr/bin/python3
"""Which frames the translation registrations keep and which they leave out, on nights made
to be hard: pure noise, a meridian flip, field rotation, drifts of most of the frame.

usage: registration_judgement.py BATCH [SIZE [FRAMES]]

BATCH is skyvane-batch. Nights of FRAMES frames (default 6) of SIZE x SIZE pixels (default
512) are written into a scratch folder with gen_data.py (GENERATOR, default
/work/shared/bench/gen_data.py) and calibrated with numpy ((frame - dark) / (flat / its
mean), 32-bit floats):
  - plain: the drift of --night;
  - drift: --drift of 64% of the side;
  - flip: a meridian flip from the middle frame on (--flip);
  - rotate: field rotation reaching 2 degrees at the last frame (--rotate 2);
  - sky: --sky-change (a trailed frame and one through cloud);
  - noise: frame 1 of plain, then frames of Gaussian noise only.
In each, "autoreg [WORK]" and "starreg [WORK] X Y" (the brightest unsaturated isolated star
of frame 1) run through the batch tool; for every frame the script prints the truth (shift,
angle, flip) and what each command did: the shift's error against the truth, or the reason
it was left out. A frame that a translation cannot align (turned by more than 0.1 degree,
flipped, noise) should be left out, every other one registered.
"""

import csv
import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np
from astropy.io import fits

LINE = re.compile(r"^     (\S+)  (?:dx = (\S+)  dy = (\S+)|(.*), left out)$")


def read(path):
    with fits.open(path, memmap=False) as f:
        return np.asarray(f[0].data, dtype=np.float64)


def calibrate(night, folder):
    dark = read(os.path.join(night, "dark.fit"))
    flat = read(os.path.join(night, "flat.fit"))
    flat /= flat.mean()
    os.makedirs(folder)
    for name in sorted(os.listdir(night)):
        if name.startswith("frame_"):
            cal = ((read(os.path.join(night, name)) - dark) / flat).astype(np.float32)
            fits.PrimaryHDU(cal).writeto(os.path.join(folder, name))


def truth(night):
    path = os.path.join(night, "truth", "transforms.csv")
    if not os.path.exists(path):
        path = os.path.join(night, "truth", "shifts.csv")
    rows = {}
    with open(path) as f:
        for row in csv.DictReader(f):
            rows["frame_%03d.fit" % int(row["frame"])] = (float(row["dx"]), float(row["dy"]),
                                                           float(row.get("angle_deg", 0.0)), row.get("flipped", "0") == "1")
    return rows


def guide_star(image):
    """Readout X Y of the brightest isolated star of frame 1 below 40000 above the sky."""
    h, w = image.shape
    sky = np.median(image[::7, ::7])
    best = None
    ys, xs = np.nonzero((image > sky + 1000) & (image < sky + 40000))
    for y, x in zip(ys, xs):
        if y < 60 or x < 60 or y >= h - 60 or x >= w - 60 or image[y, x] < image[y - 4:y + 5, x - 4:x + 5].max():
            continue
        ring = image[y - 20:y + 21, x - 20:x + 21].copy()
        ring[15:26, 15:26] = sky
        if ring.max() < sky + 300 and (best is None or image[y, x] > best[0]):
            best = (image[y, x], x, y)
    return "%d %d" % (best[1] + 1, h - best[2])


def run(batch, folder, command):
    out = subprocess.run([batch, "--workdir", folder, "-c", command], capture_output=True, text=True).stdout
    result = {}
    for line in out.splitlines():
        m = LINE.match(line)
        if m:
            result[m.group(1)] = (float(m.group(2)), float(m.group(3))) if m.group(2) else m.group(4)
    return result


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    batch = os.path.abspath(sys.argv[1])
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 512
    frames = int(sys.argv[3]) if len(sys.argv) > 3 else 6
    generator = os.environ.get("GENERATOR", "/work/shared/bench/gen_data.py")
    nights = {
        "plain": [],
        "drift": ["--drift", str(int(0.64 * size))],
        "flip": ["--flip", str(frames // 2 + 1)],
        "rotate": ["--rotate", "2"],
        "sky": ["--sky-change"],
    }
    scratch = tempfile.mkdtemp(prefix="registration-judgement-")
    try:
        for name, options in list(nights.items()) + [("noise", None)]:
            night = os.path.join(scratch, name)
            if options is not None:
                subprocess.run(["/usr/bin/python3", generator, night, "--night", "--width", str(size), "--height", str(size),
                                "--n", str(frames)] + options, check=True, stdout=subprocess.DEVNULL)
                folder = os.path.join(scratch, name + "-cal")
                calibrate(night, folder)
                known = truth(night)
            else:
                folder = os.path.join(scratch, "noise-cal")
                os.makedirs(folder)
                shutil.copy(os.path.join(scratch, "plain-cal", "frame_001.fit"), folder)
                rng = np.random.default_rng(5)
                sigma = float(np.std(read(os.path.join(folder, "frame_001.fit"))[::7, ::7]))
                for k in range(2, frames + 1):
                    noise = (1000.0 + min(sigma, 40.0) * rng.standard_normal((size, size))).astype(np.float32)
                    fits.PrimaryHDU(noise).writeto(os.path.join(folder, "frame_%03d.fit" % k))
                known = {"frame_%03d.fit" % k: None for k in range(1, frames + 1)}
            readout = guide_star(read(os.path.join(folder, "frame_001.fit")))
            auto = run(batch, folder, "autoreg [WORK]")
            star = run(batch, folder, "starreg [WORK] " + readout)
            print("%s (%d x %d, star at %s)" % (name, size, size, readout))
            for frame in sorted(known):
                t = known[frame]
                told = "noise" if t is None else "dx %8.2f dy %8.2f angle %6.2f%s" % (t[0], t[1], t[2] % 360.0, " flipped" if t[3] else "")

                def fate(result):
                    r = result.get(frame, "?")
                    if isinstance(r, str):
                        return "%-24s" % r
                    if t is None or t[2] % 360.0 != 0.0:
                        return "%-24s" % ("registered %.2f %.2f" % r)
                    return "%-24s" % ("error %.3f %.3f" % (r[0] - t[0], r[1] - t[1]))
                print("  %s  %-46s autoreg %s starreg %s" % (frame, told, fate(auto), fate(star)))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
