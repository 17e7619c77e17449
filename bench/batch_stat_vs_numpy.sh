#!/bin/sh
# The "stat" command of skyvane-batch against numpy computing the same five figures (min,
# max, mean, std, median) of the same pixels, measured in one run.
#
# usage: bench/batch_stat_vs_numpy.sh [SKYVANE_BATCH [RUNS]]
#   SKYVANE_BATCH  default: build/skyvane-batch beside this script's folder
#   RUNS           runs of each measurement (default 5); the fastest run of each counts
#                  (on a shared machine the other runs measure the neighbours)
#
# Steps:
#  1. Writes a 4096 x 4096 16-bit file (BITPIX 16, BZERO 32768: sky of 1000 with noise, a
#     few saturated pixels) with numpy and fitsio.
#  2. numpy: reads it with fitsio, converts it to float64 (the values skyvane holds) and
#     times min, max, mean, std and median together, RUNS times, inside one process.
#  3. skyvane-batch: times whole processes, RUNS times each, in alternation:
#       open       skyvane-batch --open F
#       open+stat  skyvane-batch --open F -c stat
#     "stat" is the difference of the two.
#  4. build/bench/stat_command_bench (beside the batch tool) measures on the same file, in
#     process: the load, the statistics alone (ImageMinMax + ImageMeanSigma + ImageMedian),
#     the "stat" command, the opening sequence, and the opening sequence with "stat".
#     It gives the ratio of "stat" to numpy measured without process start-up, and the
#     ratio of "--open F -c stat" to load + statistics.
#
# numpy's BLAS settings from the environment are left out for the numpy command only.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
batch=${1:-$here/build/skyvane-batch}
runs=${2:-5}
python=/usr/bin/python3

[ -x "$batch" ] || { echo "no skyvane-batch at $batch" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
file=$work/stat4096.fit

"$python" - "$file" <<'EOF'
import sys
import numpy as np
import fitsio
rng = np.random.default_rng(2024)
img = 1000.0 + rng.normal(0.0, 30.0, size=(4096, 4096))
img.flat[::9973] = 65535.0
fitsio.write(sys.argv[1], np.clip(img, 0, 65535).astype(np.uint16), clobber=True)
EOF

# numpy: the fastest of RUNS timings of the five figures, in seconds: wall, then processor.
numpy_both=$(env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$python" - "$file" "$runs" <<'EOF'
import sys, time
import numpy as np
import fitsio
data = fitsio.read(sys.argv[1]).astype(np.float64)
times = []
cpu = []
for _ in range(int(sys.argv[2])):
    t = time.perf_counter()
    c = time.process_time()
    figures = (data.min(), data.max(), data.mean(), data.std(), np.median(data))
    cpu.append(time.process_time() - c)
    times.append(time.perf_counter() - t)
print("%.4f %.4f" % (min(times), min(cpu)))
EOF
)
numpy_s=${numpy_both% *}
numpy_cpu=${numpy_both#* }

# Wall seconds of one process (nanosecond clock of the shell's date); its processor
# seconds (user + system, all threads) are appended to $cpu_file.
wall() {
    start=$(date +%s%N)
    /usr/bin/time -f "%U %S" -o "$work/cpu" "$@" >"$work/out" 2>"$work/err" || { echo "failed: $*" >&2; cat "$work/err" >&2; exit 1; }
    end=$(date +%s%N)
    echo "$start $end" | awk '{ printf "%.4f\n", ($2 - $1) / 1e9 }'
    awk '{ printf "%.4f\n", $1 + $2 }' "$work/cpu" >>"$cpu_file"
}

fastest() {
    sort -n | head -n 1
}

: >"$work/open"
: >"$work/openstat"
: >"$work/open.cpu"
: >"$work/openstat.cpu"
i=0
while [ "$i" -lt "$runs" ]; do
    cpu_file=$work/open.cpu wall "$batch" --ini /dev/null --open "$file" >>"$work/open"
    cpu_file=$work/openstat.cpu wall "$batch" --ini /dev/null --open "$file" -c stat >>"$work/openstat"
    i=$((i + 1))
done
"$batch" --ini /dev/null --open "$file" -c stat
open_s=$(fastest <"$work/open")
openstat_s=$(fastest <"$work/openstat")
open_cpu=$(fastest <"$work/open.cpu")
openstat_cpu=$(fastest <"$work/openstat.cpu")

awk -v n="$numpy_s" -v o="$open_s" -v os="$openstat_s" -v nc="$numpy_cpu" -v oc="$open_cpu" -v osc="$openstat_cpu" 'BEGIN {
    s = os - o
    sc = osc - oc
    printf "                                          wall s   processor s (all threads)\n"
    printf "numpy min+max+mean+std+median (float64):  %.4f   %.4f\n", n, nc
    printf "skyvane-batch --open F:                   %.4f   %.4f\n", o, oc
    printf "skyvane-batch --open F -c stat:           %.4f   %.4f\n", os, osc
    printf "stat (difference):                        %.4f   %.4f\n", s, sc
    printf "ratio stat / numpy:                       %.3f    %.3f\n", (n > 0 ? s / n : 0), (nc > 0 ? sc / nc : 0)
}'

bench=$(dirname "$batch")/bench/stat_command_bench
if [ -x "$bench" ]; then
    SKYVANE_STAT_FILE=$file "$bench" --benchmark_min_time=0.05 --benchmark_repetitions="$runs" \
        --benchmark_format=csv 2>/dev/null >"$work/bench.csv"
    awk -F, -v os="$openstat_s" -v n="$numpy_s" '
        $1 ~ /real_time"?$/ {
            name = $1; gsub(/"/, "", name); sub(/\/real_time$/, "", name)
            t = $3 + 0
            if (!(name in ms) || t < ms[name]) ms[name] = t
        }
        END {
            ref = ms["LoadFits"] + ms["StatisticsAlone"]
            printf "in process, fastest (ms): load %.1f, statistics alone %.1f (median alone %.1f), stat command %.1f, open %.1f, open+stat %.1f\n",
                ms["LoadFits"], ms["StatisticsAlone"], ms["MedianAlone"], ms["StatCommand"], ms["OpenSequence"], ms["OpenSequenceAndStat"]
            printf "ratio stat command / numpy, in process:                       %.3f\n", (n > 0 ? ms["StatCommand"] / (n * 1000) : 0)
            printf "ratio open+stat (steps in turn) / (load + statistics), in process: %.3f\n", (ref > 0 ? ms["OpenSequenceAndStat"] / ref : 0)
            printf "ratio skyvane-batch --open F -c stat / (load + statistics):   %.3f\n", (ref > 0 ? os * 1000 / ref : 0)
        }' "$work/bench.csv"
fi
