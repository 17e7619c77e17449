#!/usr/bin/python3
"""What normalisation and weights cost beside the plain method, and what measuring costs.

usage: stacking_cost.py FOLDER BATCH [REPEATS] [METHOD,METHOD...]
  FOLDER   frames to combine (every FITS file in it, as [WORK])
  BATCH    the skyvane-batch to run
Runs every configuration REPEATS times (default 5), interleaved so that a busy machine
slows all alike, and prints per method the median and the least wall and processor seconds
of each, and their ratio to the plain method's (winsorised clipping's also to plain sigma
clipping's); then the same for `measure [WORK]`.
"""
import resource
import statistics
import subprocess
import sys
import time

CONFIGS = [("plain", []), ("additive", ["normalise additive"]), ("weights", ["weight noise"]),
           ("additive, weights", ["normalise additive", "weight noise"]),
           ("additive+scale, weights", ["normalise additive+scale", "weight noise"])]


def timed(binary, folder, commands):
    args = [binary, "--ini", "/dev/null", "--workdir", folder]
    for c in commands:
        args += ["-c", c]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.time()
    subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    wall = time.time() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main():
    folder, binary = sys.argv[1], sys.argv[2]
    repeats = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    methods = sys.argv[4].split(",") if len(sys.argv) > 4 else ["mean [WORK]", "median [WORK]", "sigmaclip [WORK] 3 2", "minmaxrej [WORK]",
                                                                "winsorclip [WORK] 3 2"]
    runs = {}
    for _ in range(repeats):
        for method in methods:
            for name, pre in CONFIGS:
                runs.setdefault((method, name), []).append(timed(binary, folder, pre + [method]))
        runs.setdefault(("measure [WORK]", ""), []).append(timed(binary, folder, ["measure [WORK]"]))
    for method in methods:
        plain = runs[(method, "plain")]
        base = [statistics.median(r[i] for r in plain) for i in (0, 1)] + [min(r[i] for r in plain) for i in (0, 1)]
        for name, _ in CONFIGS:
            v = runs[(method, name)]
            figures = [statistics.median(r[i] for r in v) for i in (0, 1)] + [min(r[i] for r in v) for i in (0, 1)]
            print("%-22s %-24s wall %.3f s (x%.2f), least %.3f s (x%.2f); processor %.3f s (x%.2f), least %.3f s (x%.2f)" % (
                method, name, figures[0], figures[0] / base[0], figures[2], figures[2] / base[2],
                figures[1], figures[1] / base[1], figures[3], figures[3] / base[3]))
    # Winsorised clipping has no plain counterpart of its own: beside sigma clipping.
    if "winsorclip [WORK] 3 2" in methods and "sigmaclip [WORK] 3 2" in methods:
        base = statistics.median(r[0] for r in runs[("sigmaclip [WORK] 3 2", "plain")])
        for name, _ in CONFIGS:
            wall = statistics.median(r[0] for r in runs[("winsorclip [WORK] 3 2", name)])
            print("winsorclip against plain sigmaclip, %-24s wall %.3f s (x%.2f)" % (name, wall, wall / base))
    v = runs[("measure [WORK]", "")]
    print("measure [WORK]: wall %.3f s (least %.3f s), processor %.3f s (least %.3f s)" % (
        statistics.median(r[0] for r in v), min(r[0] for r in v), statistics.median(r[1] for r in v), min(r[1] for r in v)))


if __name__ == "__main__":
    main()
