#!/bin/sh
# Whole-process comparison of list arithmetic with the numpy reference: both calibrate the
# light frames of a night made by gen_data.py --night (subtract dark.fit, divide by flat.fit,
# multiply by the flat's mean) and write 32-bit floating-point frames. skyvane-batch runs the
# three list commands in one process, after a first process that reads the flat's mean with
# "stat" (its time is added, its memory counted); numpy reads, computes in float64 and
# writes float32 frame by frame (bench/calibrate_numpy.py). Each is timed from start to exit
# with /usr/bin/time -v, RUNS times in alternation, and the medians are compared. The
# night's folder is not written to: the frames are linked into a temporary folder.
#
# usage: bench/calibrate_night.sh NIGHT_DIR [SKYVANE_BATCH [RUNS]]
# Output: median wall seconds, peak resident memory and processor seconds (user + system)
# of each, and the ratios (skyvane / numpy). On a machine that other work keeps busy the
# wall times follow the share of the processors each gets; the processor seconds do not.
set -eu

night=${1:?usage: $0 NIGHT_DIR [SKYVANE_BATCH [RUNS]]}
here=$(cd "$(dirname "$0")/.." && pwd)
batch=${2:-$here/build/skyvane-batch}
runs=${3:-3}
python=/usr/bin/python3
numpy_script=$here/bench/calibrate_numpy.py

[ -x "$batch" ] || { echo "no skyvane-batch at $batch" >&2; exit 2; }

work=$(mktemp -d)
: >"$work/empty.ini"
trap 'rm -rf "$work"' EXIT

measure() { # command... -> "<wall seconds> <peak KiB> <processor seconds, user + system>"
    /usr/bin/time -v -o "$work/time" "$@" >"$work/out" 2>&1 || {
        echo "failed: $*" >&2
        cat "$work/out" >&2
        exit 1
    }
    awk -F': ' '
        /Elapsed \(wall clock\)/ {
            n = split($2, t, ":"); s = 0
            for (i = 1; i <= n; i++) s = s * 60 + t[i]
            wall = s
        }
        /Maximum resident set size/ { peak = $2 }
        /User time \(seconds\)|System time \(seconds\)/ { cpu += $2 }
        END { printf "%.3f %d %.3f\n", wall, peak, cpu }' "$work/time"
}

median() {
    sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

: >"$work/a"
: >"$work/b"
i=0
while [ "$i" -lt "$runs" ]; do
    rm -rf "$work/night" "$work/numpy"
    mkdir "$work/night"
    for f in "$night"/frame_*.fit "$night"/dark.fit "$night"/flat.fit; do
        ln -s "$f" "$work/night/"
    done
    # The flat's mean, read by a process of its own.
    first=$(measure "$batch" --ini "$work/empty.ini" --open "$work/night/flat.fit" -c stat)
    mean=$(awk '/mean = / { print $3 }' "$work/out")
    second=$(measure "$batch" --ini "$work/empty.ini" --workdir "$work/night" --toggle WORK 1 --toggle WORK 2 \
        -c "listsub [WORK] (dark)" -c "listdiv [PATH] (flat)" -c "listmult [PATH2] $mean")
    grep -q "20 images have been multiplied" "$work/out" || { cat "$work/out" >&2; exit 1; }
    echo "$first $second" | awk '{ printf "%.3f %d %.3f\n", $1 + $4, ($2 > $5 ? $2 : $5), $3 + $6 }' >>"$work/a"
    measure env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$python" "$numpy_script" "$work/night" "$work/numpy" >>"$work/b"
    i=$((i + 1))
done
# The two results agree to single precision (the flat's mean is read with 5 digits).
"$python" - "$work/night/sub-dark/div-flat/mult-$mean" "$work/numpy" <<'PY'
import glob, os, sys
import numpy as np
from astropy.io import fits
worst = 0.0
for path in sorted(glob.glob(os.path.join(sys.argv[2], "*.fit"))):
    a = fits.getdata(os.path.join(sys.argv[1], os.path.basename(path))).astype(np.float64)
    b = fits.getdata(path).astype(np.float64)
    worst = max(worst, float(np.max(np.abs(a - b) / np.maximum(np.abs(b), 1.0))))
print("largest relative difference from numpy: %.2g" % worst)
PY
a_wall=$(cut -d' ' -f1 "$work/a" | median)
b_wall=$(cut -d' ' -f1 "$work/b" | median)
a_peak=$(cut -d' ' -f2 "$work/a" | median)
b_peak=$(cut -d' ' -f2 "$work/b" | median)
a_cpu=$(cut -d' ' -f3 "$work/a" | median)
b_cpu=$(cut -d' ' -f3 "$work/b" | median)
printf '%-10s %10s %10s %12s %12s %8s %10s %10s %8s\n' job skyvane_s numpy_s skyvane_MiB numpy_MiB ratio skyvane_cpu numpy_cpu cpu_ratio
awk -v a="$a_wall" -v b="$b_wall" -v ap="$a_peak" -v bp="$b_peak" -v ac="$a_cpu" -v bc="$b_cpu" 'BEGIN {
    printf "%-10s %10.3f %10.3f %12.1f %12.1f %8.3f %10.3f %10.3f %8.3f\n", "calibrate", a, b, ap / 1024, bp / 1024,
        (b > 0 ? a / b : 0), ac, bc, (bc > 0 ? ac / bc : 0) }'
