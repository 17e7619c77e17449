#!/usr/bin/python3
"""Frame quality, frame choice and stacking under a changing sky, against the truth.

usage: sky_change_night.py NIGHT_DIR BATCH [--stack]
  NIGHT_DIR  written by `gen_data.py NIGHT_DIR --night --sky-change` (frame_NNN.fit, dark.fit,
             flat.fit, truth/quality.csv, truth/shifts.csv, truth/sky.fit)
  BATCH      the skyvane-batch to run

The lights are calibrated in memory ((frame - dark) / (flat / its central median), so a
calibrated sky keeps the truth's scale) into NIGHT_DIR/check/cal as 32-bit frames. Then:
  - `measure [WORK]`: each frame's background against 1000 x sky_scale, its noise against
    the median over the frame of the true noise of a calibrated sky pixel (read noise, shot
    noise and dark current through the flat, the dark's own noise added); the least round
    frame against the trailed one;
  - `keepbest [WORK] 90`: the frames unselected against the cloudy and the trailed one.
With --stack, also the stacks: the frames registered by `patternreg`, combined by `sigmaclip
3 3` all of them, the kept ones, the kept ones with `normalise additive+scale` and `weight
noise`, and an ideal stack of the kept ones (each frame's true sky replaced by frame 1's,
weights 1 / true noise^2, the same weighted sigma clipping); each stack's residual RMS
against truth/sky.fit after fitting its level and scale, away from the frame's edges.
(and, beside them, the normalised and weighted kept frames by `winsorclip 3 3`). Residuals: RMS,
and robust (1.4826 x MAD): sigma clipping keeps a pixel hit by cosmic rays in two frames, and
such pixels rule the RMS. Prints the figures; exit status 1 when a check fails.
"""
import csv
import os
import subprocess
import sys

import numpy as np
from astropy.io import fits

READ_NOISE, DARK, SKY = 10.0, 8.0, 1000.0


def calibrate(night, out):
    os.makedirs(out, exist_ok=True)
    dark = fits.getdata(os.path.join(night, "dark.fit")).astype(np.float64)
    flat = fits.getdata(os.path.join(night, "flat.fit")).astype(np.float64)
    h, w = flat.shape
    centre = np.median(flat[h // 2 - 32:h // 2 + 32, w // 2 - 32:w // 2 + 32])
    names = sorted(n for n in os.listdir(night) if n.startswith("frame_") and n.endswith(".fit"))
    for name in names:
        hdu = fits.open(os.path.join(night, name))[0]
        data = (hdu.data.astype(np.float64) - dark) / (flat / centre)
        out_hdu = fits.PrimaryHDU(data.astype(np.float32))
        for key in ("EXPTIME", "FRAMENO", "IMAGETYP"):
            if key in hdu.header:
                out_hdu.header[key] = hdu.header[key]
        out_hdu.writeto(os.path.join(out, name), overwrite=True)
    return names, flat / centre


def truth_rows(night):
    with open(os.path.join(night, "truth", "quality.csv")) as f:
        return [dict((k, float(v)) for k, v in row.items()) for row in csv.DictReader(f)]


def shifts(night):
    with open(os.path.join(night, "truth", "shifts.csv")) as f:
        return [(float(r["dx"]), float(r["dy"])) for r in csv.DictReader(f)]


def sky_plane(row, h, w, dx=0.0, dy=0.0):
    xr = ((np.arange(w) + dx - (w - 1) / 2) / w)[None, :]
    yr = ((np.arange(h) + dy - (h - 1) / 2) / h)[:, None]
    return SKY * row["sky_scale"] * (1.0 + row["gradient_x"] * xr + row["gradient_y"] * yr)


def batch(binary, args, ini=None):
    run = subprocess.run([binary, "--ini", ini or "/dev/null"] + args, capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit("batch failed: %s\n%s" % (" ".join(args), run.stderr))
    return run.stdout


def weighted_sigma_clip(cube, weights, kappa=3.0, iterations=3):
    w = np.broadcast_to(weights[:, None, None], cube.shape).copy()
    first = (w * cube).sum(0) / w.sum(0)
    for _ in range(iterations):
        mean = (w * cube).sum(0) / w.sum(0)
        spread = np.sqrt((w * (cube - mean) ** 2).sum(0) / w.sum(0))
        w = np.where(np.abs(cube - mean) > kappa * spread, 0.0, w)
    total = w.sum(0)
    return np.where(total > 0, (w * cube).sum(0) / np.where(total > 0, total, 1), first)


def residual(stack, truth, margin):
    """The stack less a x truth + b (least squares), away from the edges and from the stars that
    saturate (the truth goes on above the camera's range): its RMS and its robust spread (1.4826 x
    the median absolute deviation), which pixels hit by cosmic rays in two frames, that sigma
    clipping keeps, cannot sway. On the truth's scale."""
    inner = np.zeros(truth.shape, bool)
    inner[margin:-margin, margin:-margin] = True
    saturated = truth > 50000
    for _ in range(4):
        saturated[1:, :] |= saturated[:-1, :]
        saturated[:-1, :] |= saturated[1:, :]
        saturated[:, 1:] |= saturated[:, :-1]
        saturated[:, :-1] |= saturated[:, 1:]
    use = inner & ~saturated
    s, t = stack[use], truth[use]
    a, b = np.polyfit(t, s, 1)
    r = (s - (a * t + b)) / a
    return float(np.sqrt(np.mean(r ** 2))), float(1.4826 * np.median(np.abs(r - np.median(r))))


def main():
    night, binary = sys.argv[1], sys.argv[2]
    stack = "--stack" in sys.argv[3:]
    work = os.path.join(night, "check")
    cal = os.path.join(work, "cal")
    names, flat = calibrate(night, cal)
    truth = truth_rows(night)
    h, w = flat.shape
    ok = True

    batch(binary, ["--workdir", cal, "-c", "measure [WORK]"])
    with open(os.path.join(cal, "quality.csv")) as f:
        measured = {r["file"]: r for r in csv.DictReader(f)}
    print("frame  background truth   error   noise  truth   error  roundness  transparency  score")
    worst_bg = worst_noise = 0.0
    for name, row in zip(names, truth):
        m = measured[name]
        bg_truth = SKY * row["sky_scale"]
        # the true noise of each calibrated sky pixel (r: the flat's response, 1 at the centre)
        signal = sky_plane(row, h, w) * flat
        noise_map = np.sqrt(READ_NOISE ** 2 + signal + DARK + (READ_NOISE ** 2 + DARK) / 16) / flat
        noise_truth = float(np.median(noise_map))
        bg_err = float(m["background"]) / bg_truth - 1
        noise_err = float(m["noise"]) / noise_truth - 1
        worst_bg, worst_noise = max(worst_bg, abs(bg_err)), max(worst_noise, abs(noise_err))
        print("%s %9.1f %7.1f %+6.2f%% %7.2f %6.2f %+6.1f%% %9s %12s %7s%s%s" % (
            name, float(m["background"]), bg_truth, 100 * bg_err, float(m["noise"]), noise_truth, 100 * noise_err,
            m["roundness"], m["transparency"], m["score"], "  cloudy" if row["transparency"] < 1 else "",
            "  trailed" if row["trailed"] else ""))
    print("worst background error %.2f%% (at most 3%%), worst noise error %.1f%% (at most 15%%)" % (100 * worst_bg, 100 * worst_noise))
    ok &= worst_bg <= 0.03 and worst_noise <= 0.15
    trailed = [n for n, r in zip(names, truth) if r["trailed"]]
    cloudy = [n for n, r in zip(names, truth) if r["transparency"] < 1]
    least_round = min(names, key=lambda n: float(measured[n]["roundness"]))
    print("least round: %s (trailed: %s)" % (least_round, trailed[0]))
    ok &= least_round == trailed[0]

    out = batch(binary, ["--workdir", cal, "-c", "keepbest [WORK] 90"])
    print(out.strip())
    unselected = out.split("unselected: ")[1].strip().split(", ") if "unselected: " in out else []
    print("unselected %s; cloudy %s, trailed %s" % (unselected, cloudy, trailed))
    ok &= sorted(unselected) == sorted(cloudy + trailed)

    if stack:
        registered = os.path.join(cal, "patternreg")
        if not os.path.isdir(registered):
            batch(binary, ["--workdir", cal, "-c", "patternreg [WORK]"])
        ini = os.path.join(work, "float.ini")
        with open(ini, "w") as f:
            f.write("[Image processing parameters]\nSave FITS as=1\n")
        toggles = []
        for name in unselected:
            toggles += ["--toggle", "WORK", str(names.index(name) + 1)]
        stacks = {
            "all frames, plain": [],
            "kept frames, plain": toggles,
            "kept frames, additive+scale, noise weights": toggles + ["-c", "normalise additive+scale", "-c", "weight noise"],
        }
        results = {}
        for label, extra in stacks.items():
            path = os.path.join(work, label.replace(" ", "_").replace(",", "").replace("+", "") + ".fit")
            batch(binary, ["--workdir", registered] + extra + ["-c", "sigmaclip [WORK] 3 3", "--save", path], ini)
            results[label] = fits.getdata(path).astype(np.float64)
        # Beside them: winsorised clipping, which also rejects a pixel hit in two frames.
        label = "kept frames, additive+scale, noise weights, winsorclip 3 3"
        path = os.path.join(work, "kept_frames_winsorclip.fit")
        batch(binary, ["--workdir", registered] + stacks["kept frames, additive+scale, noise weights"] +
              ["-c", "winsorclip [WORK] 3 3", "--save", path], ini)
        results[label] = fits.getdata(path).astype(np.float64)
        # The ideal: the kept frames, each one's true sky replaced by frame 1's, divided by its
        # transparency, weighed by 1 / its true noise^2 (at the frame's centre).
        moves = shifts(night)
        cube, weights = [], []
        for k, (name, row) in enumerate(zip(names, truth)):
            if name in unselected:
                continue
            data = fits.getdata(os.path.join(registered, name)).astype(np.float64)
            dx, dy = moves[k]
            data = (data - sky_plane(row, h, w, dx, dy)) / row["transparency"] + sky_plane(truth[0], h, w)
            cube.append(data)
            sigma2 = (READ_NOISE ** 2 + SKY * row["sky_scale"] + DARK) / row["transparency"] ** 2
            weights.append(1.0 / sigma2)
        results["kept frames, ideal sky and weights"] = weighted_sigma_clip(np.array(cube), np.array(weights))
        sky_truth = fits.getdata(os.path.join(night, "truth", "sky.fit")).astype(np.float64)
        margin = 48
        ideal = residual(results["kept frames, ideal sky and weights"], sky_truth, margin)
        for label, image in results.items():
            rms, robust = residual(image, sky_truth, margin)
            print("%-58s residual RMS %8.3f (x%.2f of the ideal), robust %7.3f (x%.2f)" % (
                label, rms, rms / ideal[0], robust, robust / ideal[1]))
    print("checks %s" % ("passed" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
