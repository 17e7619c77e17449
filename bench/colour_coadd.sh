#!/bin/sh
# Colour co-addition against the grey co-addition of the same frames' green planes, whole
# processes (skyvane-batch), in one run: 20 frames of 2048 x 2048 x 3 (16-bit) and their
# green planes as grey frames, written by colour_frames_timing when missing. For every
# method, round after round, the grey and the colour co-addition run in turn, so that a
# drift of the machine's speed touches both alike. Each figure is the median of the rounds;
# each ratio the median of the rounds' own ratios. Peak memory is each child's own (GNU
# time's %M). Colour should take at most 3.3 x the grey run's time and peak memory.
#
# usage: bench/colour_coadd.sh [DATA_FOLDER]
#   DATA_FOLDER  where the frames are (default /tmp/skyvane_colour_bench); colour/ and green/
# Environment (all optional):
#   SKYVANE_BATCH  the batch tool (default build/skyvane-batch beside this folder)
#   FRAMES_TOOL    the frame writer (default build/bench/colour_frames_timing)
#   RUNS           rounds per method (default 3)
#   METHODS        which methods (default "mean median minmax sigclip")
#   SIZE           frame side (default 2048); FRAMES (default 20)
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-/tmp/skyvane_colour_bench}
batch=${SKYVANE_BATCH:-$here/build/skyvane-batch}
frames_tool=${FRAMES_TOOL:-$here/build/bench/colour_frames_timing}
runs=${RUNS:-3}
methods=${METHODS:-mean median minmax sigclip}
size=${SIZE:-2048}
frames=${FRAMES:-20}

[ -x "$batch" ] || { echo "no skyvane-batch at $batch" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed" >&2; exit 2; }
if ! ls "$root/colour"/*.fit >/dev/null 2>&1; then
    "$frames_tool" "$root" "$size" "$size" "$frames"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
: >"$work/empty.ini"

# Runs a command under GNU time; appends "<wall seconds> <peak KiB>" to a file.
measure() { # file command...
    out=$1
    shift
    start=$(date +%s%N)
    if ! /usr/bin/time -f '%M' -o "$work/time" "$@" >"$work/log" 2>&1; then
        echo "failed: $*" >&2
        tail -5 "$work/log" >&2
        exit 1
    fi
    end=$(date +%s%N)
    echo "$(((end - start) / 1000)) $(tail -1 "$work/time")" | awk '{ printf "%.6f %s\n", $1 / 1e6, $2 }' >>"$out"
}

median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

command_for() {
    case $1 in
    median) echo "median [WORK]" ;;
    mean) echo "mean [WORK]" ;;
    minmax) echo "minmaxrej [WORK]" ;;
    sigclip) echo "sigmaclip [WORK] 3 2" ;;
    *) echo "unknown method $1" >&2; exit 2 ;;
    esac
}

echo "rounds: $runs; cores: $(nproc); load $(cut -d' ' -f1-3 /proc/loadavg); times in s, peaks in MiB (medians)"
printf '%-8s %8s %8s %8s %8s %8s %8s\n' method grey colour time_x greyMiB colMiB memory_x
for method in $methods; do
    cmd=$(command_for "$method")
    rm -f "$work/grey" "$work/colour"
    r=0
    while [ $r -lt "$runs" ]; do
        measure "$work/grey" "$batch" --ini "$work/empty.ini" --workdir "$root/green" -c "$cmd" --save "$work/grey.fit"
        measure "$work/colour" "$batch" --ini "$work/empty.ini" --workdir "$root/colour" -c "$cmd" --save "$work/colour.fit"
        r=$((r + 1))
    done
    g=$(cut -d' ' -f1 "$work/grey" | median)
    c=$(cut -d' ' -f1 "$work/colour" | median)
    t=$(paste -d' ' "$work/colour" "$work/grey" | awk '{ print $1 / $3 }' | median)
    gm=$(cut -d' ' -f2 "$work/grey" | median)
    cm=$(cut -d' ' -f2 "$work/colour" | median)
    m=$(paste -d' ' "$work/colour" "$work/grey" | awk '{ print $2 / $4 }' | median)
    printf '%-8s %8.3f %8.3f %8.2f %8.0f %8.0f %8.2f\n' "$method" "$g" "$c" "$t" "$(echo "$gm" | awk '{ print $1 / 1024 }')" \
        "$(echo "$cm" | awk '{ print $1 / 1024 }')" "$m"
done
