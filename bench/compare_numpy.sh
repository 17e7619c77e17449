#!/bin/sh
# Whole-process comparison of co-addition against the numpy reference: for each method,
# both programs combine every *.fit frame of DATA_DIR and save the result; each is timed
# from start to exit (start-up, reading, combining and writing included) with
# /usr/bin/time -v, RUNS times in alternation, and the medians are compared.
#
# usage: bench/compare_numpy.sh DATA_DIR [SKYVANE_BATCH [NUMPY_SCRIPT [RUNS]]]
#   DATA_DIR       folder of frames, e.g. set S made by gen_data.py
#   SKYVANE_BATCH  default: build/skyvane-batch beside this script's folder
#   NUMPY_SCRIPT   default: /work/shared/bench/peer_numpy.py
#   RUNS           runs per program and method (default 3)
#
# Output: one line per method with the median wall seconds, the median peak resident
# memory of each program, and the ratio of wall times (skyvane / numpy).
set -eu

data=${1:?usage: $0 DATA_DIR [SKYVANE_BATCH [NUMPY_SCRIPT [RUNS]]]}
here=$(cd "$(dirname "$0")/.." && pwd)
batch=${2:-$here/build/skyvane-batch}
numpy_script=${3:-/work/shared/bench/peer_numpy.py}
runs=${4:-3}
python=/usr/bin/python3

[ -x "$batch" ] || { echo "no skyvane-batch at $batch" >&2; exit 2; }
[ -f "$numpy_script" ] || { echo "no numpy reference at $numpy_script" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs a command under /usr/bin/time -v and prints "<wall seconds> <peak KiB>".
measure() {
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
        END { printf "%.3f %d\n", wall, peak }' "$work/time"
}

median() {
    sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

printf '%-10s %10s %10s %12s %12s %8s\n' method skyvane_s numpy_s skyvane_MiB numpy_MiB ratio
for method in median mean sigclip minmax; do
    case $method in
    median) command="median [WORK]" ;;
    mean) command="mean [WORK]" ;;
    sigclip) command="sigmaclip [WORK] 3 2" ;;
    minmax) command="minmaxrej [WORK]" ;;
    esac
    : >"$work/a"
    : >"$work/b"
    i=0
    while [ "$i" -lt "$runs" ]; do
        measure "$batch" --ini /dev/null --workdir "$data" -c "$command" --save "$work/skyvane.fit" >>"$work/a"
        # numpy's BLAS settings of the environment are left out, as for a plain run.
        measure env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$python" "$numpy_script" "$method" "$data" "$work/numpy.fits" >>"$work/b"
        i=$((i + 1))
    done
    a_wall=$(cut -d' ' -f1 "$work/a" | median)
    b_wall=$(cut -d' ' -f1 "$work/b" | median)
    a_peak=$(cut -d' ' -f2 "$work/a" | median)
    b_peak=$(cut -d' ' -f2 "$work/b" | median)
    awk -v m="$method" -v a="$a_wall" -v b="$b_wall" -v ap="$a_peak" -v bp="$b_peak" 'BEGIN {
        printf "%-10s %10.3f %10.3f %12.1f %12.1f %8.3f\n", m, a, b, ap / 1024, bp / 1024, (b > 0 ? a / b : 0) }'
done
