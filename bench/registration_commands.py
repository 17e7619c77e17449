#!/usr/bin/python3
"""Registration of a night's drifting frames through the batch tool's commands.

usage: registration_commands.py DATA_DIR BATCH [REGISTRATION_BENCH]

DATA_DIR holds frame_NNN.fit, dark.fit, flat.fit and truth/shifts.csv (gen_data.py --night).
The frames are copied into a scratch folder as they are (raw) and calibrated with numpy
((frame - dark) / (flat / mean of flat), as 32-bit floats); in each folder skyvane-batch
runs "autoreg [WORK]" and "starreg [WORK] X Y" (the brightest unsaturated isolated star of
frame 1, given as the pointer readout shows it). Reported:
  - RMS per axis of the shifts against the truth (frames 2..N), read from the HISTORY card
    of each registered frame (four decimals; the replies give two);
  - the mean FWHM (circular Gaussian fitted by least squares) of the 20 brightest
    unsaturated stars of frame 1 in frame 1, in the median of the registered frames and in
    the median of the unregistered frames (calibrated);
  - wall time and peak memory of the batch run of autoreg on the calibrated frames, beside
    the time of a batch run that only reads the same frames (the median of the list) and,
    when REGISTRATION_BENCH is given, the benchmark's BM_AutoRegister and BM_ReadFloor in the
    same run.
Nothing is written into DATA_DIR.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
from astropy.io import fits

HISTORY = re.compile(r"Skyvane: (\w+) shifted by dx = (\S+) dy = (\S+) ")


def read(path):
    with fits.open(path, memmap=False) as f:
        return np.asarray(f[0].data, dtype=np.float64)


def local_maxima(image, half, floor):
    """(y, x) of pixels above floor that are the highest within half pixels."""
    h, w = image.shape
    ys, xs = np.nonzero(image > floor)
    keep = []
    for y, x in zip(ys, xs):
        if y < half or x < half or y >= h - half or x >= w - half:
            continue
        cut = image[y - half:y + half + 1, x - half:x + half + 1]
        if image[y, x] >= cut.max() and np.count_nonzero(cut == image[y, x]) == 1:
            keep.append((y, x))
    return keep


def pick_stars(cal, raw, margin, wanted):
    """Brightest unsaturated (raw below 50000) isolated stars, at least margin inside."""
    sky = np.median(cal[::7, ::7])
    peaks = local_maxima(cal, 4, sky + 1000.0)
    stars = []
    for (y, x) in peaks:
        if not (margin <= x < cal.shape[1] - margin and margin <= y < cal.shape[0] - margin):
            continue
        v = cal[y, x]
        if any((yy, xx) != (y, x) and (yy - y) ** 2 + (xx - x) ** 2 < 24 ** 2 and cal[yy, xx] > 0.05 * v
               for (yy, xx) in peaks):
            continue
        if raw[y - 3:y + 4, x - 3:x + 4].max() >= 50000.0:
            continue
        # a cosmic-ray hit is one pixel: a star has bright neighbours
        if np.sort(cal[y - 1:y + 2, x - 1:x + 2].ravel())[4] - sky < 0.3 * (v - sky):
            continue
        stars.append((v, x, y))
    stars.sort(reverse=True)
    return [(x, y) for (_, x, y) in stars[:wanted]]


def gaussian_fwhm(stamp):
    """FWHM of a circular Gaussian plus a constant fitted to the stamp (Levenberg-Marquardt)."""
    n = stamp.shape[0]
    yy, xx = np.mgrid[0:n, 0:n].astype(np.float64)
    b = np.median(np.concatenate([stamp[0], stamp[-1], stamp[:, 0], stamp[:, -1]]))
    p = np.array([stamp.max() - b, (n - 1) / 2.0, (n - 1) / 2.0, 1.5, b])
    lam = 1e-3

    def model(q):
        a, x0, y0, s, c = q
        g = np.exp(-((xx - x0) ** 2 + (yy - y0) ** 2) / (2.0 * s * s))
        return a * g + c, g

    def cost(q):
        m, _ = model(q)
        return float(((m - stamp) ** 2).sum())

    c0 = cost(p)
    for _ in range(200):
        m, g = model(p)
        a, x0, y0, s, _ = p
        r = (stamp - m).ravel()
        d2 = (xx - x0) ** 2 + (yy - y0) ** 2
        jac = np.stack([g, a * g * (xx - x0) / s ** 2, a * g * (yy - y0) / s ** 2, a * g * d2 / s ** 3,
                        np.ones_like(g)], axis=-1).reshape(-1, 5)
        jtj = jac.T @ jac
        step = np.linalg.solve(jtj + lam * np.diag(np.diag(jtj)), jac.T @ r)
        trial = p + step
        c1 = cost(trial) if trial[3] > 0.3 else np.inf
        if c1 < c0:
            converged = c0 - c1 < 1e-10 * c0
            p, c0, lam = trial, c1, lam * 0.3
            if converged:
                break
        else:
            lam *= 10.0
            if lam > 1e10:
                break
    return 2.0 * np.sqrt(2.0 * np.log(2.0)) * abs(p[3])


def stamps(images, stars, half=12):
    return [np.stack([im[y - half:y + half + 1, x - half:x + half + 1] for im in images]) for (x, y) in stars]


def mean_fwhm(stacks):
    return float(np.mean([gaussian_fwhm(np.median(s, axis=0)) for s in stacks]))


def run_batch(batch, folder, commands):
    """Runs the batch tool in folder (its working directory); stdout, wall seconds and
    peak resident memory in KiB (GNU time)."""
    args = ["/usr/bin/time", "-f", "peak %M", batch, "--workdir", folder]
    for c in commands:
        args += ["-c", c]
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, ".config"))
    t0 = time.perf_counter()
    done = subprocess.run(args, capture_output=True, text=True, env=env)
    seconds = time.perf_counter() - t0
    if done.returncode != 0:
        sys.exit("batch run failed: %s\n%s%s" % (" ".join(args), done.stdout, done.stderr))
    peaks = re.findall(r"^peak (\d+)$", done.stderr, re.M)
    return done.stdout, seconds, int(peaks[-1]) if peaks else None


def registered_shifts(folder, count):
    shifts = {}
    for k in range(1, count + 1):
        path = os.path.join(folder, "frame_%03d.fit" % k)
        if not os.path.exists(path):
            continue
        with fits.open(path) as f:
            for h in f[0].header.get("HISTORY", []):
                m = HISTORY.search(str(h))
                if m:
                    shifts[k] = (float(m.group(2)), float(m.group(3)))
    return shifts


def rms(shifts, truth):
    d = np.array([(shifts[k][0] - truth[k][0], shifts[k][1] - truth[k][1]) for k in sorted(shifts) if k > 1])
    return np.sqrt((d ** 2).mean(axis=0)), len(d)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    data, batch = sys.argv[1], os.path.abspath(sys.argv[2])
    bench = sys.argv[3] if len(sys.argv) > 3 else None
    rows = np.loadtxt(os.path.join(data, "truth", "shifts.csv"), delimiter=",", skiprows=1)
    truth = {int(r[0]): (r[1], r[2]) for r in rows}
    n = len(truth)
    names = ["frame_%03d.fit" % k for k in range(1, n + 1)]
    work = tempfile.mkdtemp(prefix="skyvane_registration_commands_")
    try:
        raw_dir = os.path.join(work, "raw")
        cal_dir = os.path.join(work, "cal")
        os.makedirs(raw_dir)
        os.makedirs(cal_dir)
        dark = read(os.path.join(data, "dark.fit"))
        flat = read(os.path.join(data, "flat.fit"))
        flat = flat / flat.mean()
        for name in names:
            shutil.copyfile(os.path.join(data, name), os.path.join(raw_dir, name))
            raw = read(os.path.join(data, name))
            cal = np.where(flat > 0, (raw - dark) / np.where(flat > 0, flat, 1.0), 0.0)
            fits.PrimaryHDU(cal.astype(np.float32)).writeto(os.path.join(cal_dir, name))
        raw1 = read(os.path.join(raw_dir, names[0]))
        cal1 = read(os.path.join(cal_dir, names[0]))
        height = cal1.shape[0]
        drift = max(max(abs(t[0]), abs(t[1])) for t in truth.values())
        guide = pick_stars(cal1, raw1, int(drift) + 60, 1)[0]
        fwhm_stars = pick_stars(cal1, raw1, int(drift) + 20, 20)
        readout = "%d %d" % (guide[0] + 1, height - guide[1])
        print("Night: %d frames of %d x %d from %s; largest drift %.1f px; one star at column %d, row %d "
              "(readout X Y = %s)" % (n, cal1.shape[1], height, data, drift, guide[0], guide[1], readout))

        results = {}
        for label, folder in (("raw", raw_dir), ("calibrated", cal_dir)):
            out, seconds, peak = run_batch(batch, folder, ["autoreg [WORK]"])
            results[(label, "autoreg")] = (registered_shifts(os.path.join(folder, "autoreg"), n), seconds, peak)
            out, seconds, peak = run_batch(batch, folder, ["starreg [WORK] " + readout])
            results[(label, "starreg")] = (registered_shifts(os.path.join(folder, "starreg"), n), seconds, peak)
            if label == "calibrated":
                reply = out
        print("\nReply of starreg on the calibrated frames (first lines):")
        print("\n".join(reply.splitlines()[:3] + ["     ..."] + reply.splitlines()[-1:]))

        print("\nShifts against the truth (frames 2..%d), RMS per axis in pixels:" % n)
        for key in sorted(results):
            shifts = results[key][0]
            (rx, ry), count = rms(shifts, truth)
            print("  %-10s %-8s x %.4f  y %.4f  (%d frames measured)" % (key[0], key[1], rx, ry, count))

        # Sharpness: the median of the registered calibrated frames against frame 1.
        cal_frames = [read(os.path.join(cal_dir, name)) for name in names]
        none = mean_fwhm(stamps(cal_frames, fwhm_stars))
        del cal_frames
        first = float(np.mean([gaussian_fwhm(s[0]) for s in stamps([cal1], fwhm_stars)]))
        print("\nMean FWHM of the %d brightest unsaturated stars of frame 1 (calibrated):" % len(fwhm_stars))
        print("  frame 1                         %.3f px" % first)
        for method in ("autoreg", "starreg"):
            folder = os.path.join(cal_dir, method)
            aligned = [read(os.path.join(folder, name)) for name in names if os.path.exists(os.path.join(folder, name))]
            f = mean_fwhm(stamps(aligned, fwhm_stars))
            print("  median of %-2d %-8s frames     %.3f px (ratio to frame 1 %.3f)" % (len(aligned), method, f, f / first))
            del aligned
        print("  median of %-2d unregistered frames %.3f px (ratio to frame 1 %.3f)" % (n, none, none / first))

        # Time: autoreg on the calibrated frames, whole batch process, against a batch run
        # that reads the same frames once (the median of the list, without writing).
        print("\nTime of the whole batch process on the %d calibrated frames (wall, seconds):" % n)
        for attempt in range(2):
            shutil.rmtree(os.path.join(cal_dir, "autoreg"), ignore_errors=True)
            shutil.rmtree(os.path.join(cal_dir, "starreg"), ignore_errors=True)
            _, t_auto, _ = run_batch(batch, cal_dir, ["autoreg [WORK]"])
            shutil.rmtree(os.path.join(cal_dir, "autoreg"), ignore_errors=True)
            _, t_star, _ = run_batch(batch, cal_dir, ["starreg [WORK] " + readout])
            _, t_read, _ = run_batch(batch, cal_dir, ["median [WORK]"])
            print("  run %d: autoreg %.2f  starreg %.2f  median of the list (reads every frame) %.2f  "
                  "ratio autoreg / median %.2f" % (attempt + 1, t_auto, t_star, t_read, t_auto / t_read))
        peak = results[("calibrated", "autoreg")][2]
        if peak is not None:
            print("  peak resident memory of the autoreg batch process: %.0f MiB" % (peak / 1024.0))
        if bench:
            print("\nThe registration benchmark in the same run (BM_AutoRegister/BM_ReadFloor):")
            done = subprocess.run([bench, "--benchmark_filter=BM_AutoRegister|BM_ReadFloor", "--benchmark_min_time=0.5"],
                                  capture_output=True, text=True, env=dict(os.environ, SKYVANE_NIGHT_DATA=data))
            for line in done.stdout.splitlines():
                if line.startswith("BM_"):
                    print("  " + line)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
