#!/bin/sh
# Co-addition against its read floor and the numpy reference, whole processes, in one run.
#
# The floor is the plainest correct mean (floor_mean.c: one thread, each frame read whole
# as doubles with CFITSIO, summed, divided, written as 16-bit). For every set and method
# the floor, skyvane-batch (and a second skyvane-batch when given, say the previous
# version) and numpy run in turn, round after round, so that a drift of the machine's speed
# touches all of them alike. Each figure is the median of the rounds; each ratio is the
# median of the ratios of the same round. Peak memory is each child's own (GNU time's %M,
# taken from the child's own accounting; the time program itself is small). Wall times
# include starting GNU time (about a millisecond), alike for every command.
#
# usage: bench/coadd_floor.sh [DATA_ROOT]
#   DATA_ROOT  folder holding the sets (default /work/benchdata):
#                S/     20 frames of 2048 x 2048   (gen_data.py S --set S)
#                L/     10 frames of 4096 x 4096   (gen_data.py L --set L)
#                S300/  300 links to S's frames, made here when missing
#              missing S and L are written with the generator.
# Environment (all optional):
#   SKYVANE_BATCH  the batch tool (default build/skyvane-batch beside this folder)
#   OTHER_BATCH    a second batch tool measured in the same rounds (column "other")
#   RUNS           rounds per set and method (default 5)
#   SETS           which sets (default "S L S300")
#   METHODS        which methods (default "mean minmax median sigclip")
#   NUMPY          0 leaves numpy out; numpy is always left out of a set whose float64
#                  cube would take more than a quarter of the available memory (S300
#                  needs 10 GiB)
#   FLOOR_SOURCE   floor_mean.c (default /work/shared/bench/floor_mean.c)
#   GENERATOR      gen_data.py (default /work/shared/bench/gen_data.py)
#   NUMPY_SCRIPT   peer_numpy.py (default beside the generator)
# Output: one line per set and method; the times in seconds, the ratios to the floor (the
# median of the rounds' own ratios, and their lowest and highest), peaks in MiB, and the load
# average before the first and after the last round of that line. At the end, for each
# method, the time of the 300-frame list over the time of the 20 frames (median of the
# rounds' own ratios).
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-/work/benchdata}
batch=${SKYVANE_BATCH:-$here/build/skyvane-batch}
other=${OTHER_BATCH:-}
runs=${RUNS:-5}
sets=${SETS:-S L S300}
methods=${METHODS:-mean minmax median sigclip}
use_numpy=${NUMPY:-1}
floor_source=${FLOOR_SOURCE:-/work/shared/bench/floor_mean.c}
generator=${GENERATOR:-/work/shared/bench/gen_data.py}
numpy_script=${NUMPY_SCRIPT:-$(dirname "$generator")/peer_numpy.py}
python=/usr/bin/python3

[ -x "$batch" ] || { echo "no skyvane-batch at $batch" >&2; exit 2; }
[ -z "$other" ] || [ -x "$other" ] || { echo "no skyvane-batch at $other" >&2; exit 2; }
[ -f "$floor_source" ] || { echo "no floor program at $floor_source" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
cc -O3 "$floor_source" $(pkg-config --cflags --libs cfitsio) -o "$work/floor_mean"
: >"$work/empty.ini"

# The sets.
for set in $sets; do
    case $set in
    S | L)
        if ! ls "$root/$set"/*.fit >/dev/null 2>&1; then
            "$python" "$generator" "$root/$set" --set "$set"
        fi
        ;;
    S300)
        if [ ! -d "$root/S300" ]; then
            ls "$root/S"/*.fit >/dev/null 2>&1 || "$python" "$generator" "$root/S" --set S
            mkdir -p "$root/S300"
            i=1
            while [ $i -le 300 ]; do
                ln -sf "../S/$(printf 'frame_%03d.fit' $(((i - 1) % 20 + 1)))" "$root/S300/$(printf 'frame_%03d.fit' $i)"
                i=$((i + 1))
            done
        fi
        ;;
    *) echo "unknown set $set" >&2; exit 2 ;;
    esac
done

# Runs a command under GNU time and appends "<wall seconds> <peak KiB>" to a file. The
# wall time is taken around it in nanoseconds (GNU time rounds to 10 ms).
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

loadavg() { cut -d' ' -f1-3 /proc/loadavg | tr ' ' '/'; }

# Whether numpy's cube for a set fits in a quarter of the available memory.
numpy_fits() { # folder
    [ "$use_numpy" != 0 ] || return 1
    need=$(stat -L -c %s "$1"/*.fit | awk '{ s += $1 } END { printf "%.0f", s * 4 / 1024 }')
    avail=$(awk '/MemAvailable/ { print $2 }' /proc/meminfo)
    [ "$need" -lt $((avail / 4)) ]
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

echo "skyvane: $batch"
[ -z "$other" ] || echo "other:   $other"
echo "rounds: $runs; cores: $(nproc); times in s (medians), peaks in MiB, ratios to the floor (medians of the rounds' ratios)"
printf '%-5s %-8s %7s %7s %7s %7s %8s %-13s %8s %8s %6s %6s %6s %6s %-15s %-15s\n' \
    set method floor sky other numpy sky/fl sky/fl_range other/fl numpy/fl flMiB skyMiB othMiB npMiB load_before load_after
for method in $methods; do
    cmd=$(command_for "$method")
    for set in $sets; do
        rm -f "$work/$set.$method".*
    done
    r=0
    loads=""
    while [ $r -lt "$runs" ]; do
        for set in $sets; do
            dir=$root/$set
            [ $r -eq 0 ] && echo "$(loadavg)" >"$work/$set.$method.load0"
            # shellcheck disable=SC2046
            measure "$work/$set.$method.floor" "$work/floor_mean" "$work/floor.fit" $(ls "$dir"/*.fit)
            measure "$work/$set.$method.sky" "$batch" --ini "$work/empty.ini" --workdir "$dir" -c "$cmd" --save "$work/sky.fit"
            if [ -n "$other" ]; then
                measure "$work/$set.$method.other" "$other" --ini "$work/empty.ini" --workdir "$dir" -c "$cmd" --save "$work/other.fit"
            fi
            if numpy_fits "$dir"; then
                measure "$work/$set.$method.numpy" env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$python" "$numpy_script" "$method" "$dir" "$work/numpy.fits"
            fi
            echo "$(loadavg)" >"$work/$set.$method.load1"
        done
        r=$((r + 1))
    done
    for set in $sets; do
        f=$work/$set.$method
        [ -f "$f.other" ] || : >"$f.other"
        [ -f "$f.numpy" ] || : >"$f.numpy"
        fl=$(cut -d' ' -f1 "$f.floor" | median)
        sk=$(cut -d' ' -f1 "$f.sky" | median)
        ot=$(cut -d' ' -f1 "$f.other" | median)
        np=$(cut -d' ' -f1 "$f.numpy" | median)
        r_sk=$(paste -d' ' "$f.sky" "$f.floor" | awk '{ print $1 / $3 }' | median)
        range_sk=$(paste -d' ' "$f.sky" "$f.floor" | awk '{ r = $1 / $3; if (NR == 1 || r < lo) lo = r; if (NR == 1 || r > hi) hi = r } END { printf "%.3f-%.3f", lo, hi }')
        r_ot=$(paste -d' ' "$f.other" "$f.floor" | awk 'NF == 4 { print $1 / $3 }' | median)
        r_np=$(paste -d' ' "$f.numpy" "$f.floor" | awk 'NF == 4 { print $1 / $3 }' | median)
        m_fl=$(cut -d' ' -f2 "$f.floor" | median)
        m_sk=$(cut -d' ' -f2 "$f.sky" | median)
        m_ot=$(cut -d' ' -f2 "$f.other" | median)
        m_np=$(cut -d' ' -f2 "$f.numpy" | median)
        awk -v s="$set" -v m="$method" -v fl="$fl" -v sk="$sk" -v ot="$ot" -v np="$np" -v a="$r_sk" -v rg="$range_sk" -v b="$r_ot" -v c="$r_np" \
            -v mf="$m_fl" -v ms="$m_sk" -v mo="$m_ot" -v mn="$m_np" -v l0="$(cat "$f.load0")" -v l1="$(cat "$f.load1")" '
            function t(x) { return x == "nan" ? "-" : sprintf("%.3f", x) }
            function mib(x) { return x == "nan" ? "-" : sprintf("%.0f", x / 1024) }
            BEGIN { printf "%-5s %-8s %7s %7s %7s %7s %8s %-13s %8s %8s %6s %6s %6s %6s %-15s %-15s\n",
                    s, m, t(fl), t(sk), t(ot), t(np), t(a), rg, t(b), t(c), mib(mf), mib(ms), mib(mo), mib(mn), l0, l1 }'
    done
    for set in $sets; do
        cp "$work/$set.$method.sky" "$work/keep.$set.$method.sky"
        [ ! -s "$work/$set.$method.other" ] || cp "$work/$set.$method.other" "$work/keep.$set.$method.other"
    done
done

# Growth from 20 frames to 300 (links to the same 20 files, so the page cache holds both).
case " $sets " in
*" S "*)
    case " $sets " in
    *" S300 "*)
        echo
        echo "300 frames over 20 frames (median of the rounds' ratios; linear growth keeps it at 16 or less):"
        for method in $methods; do
            for who in sky other; do
                a=$work/keep.S300.$method.$who
                b=$work/keep.S.$method.$who
                [ -s "$a" ] && [ -s "$b" ] || continue
                g=$(paste -d' ' "$a" "$b" | awk '{ print $1 / $3 }' | median)
                printf '  %-8s %-5s %6.1fx\n' "$method" "$who" "$g"
            done
        done
        ;;
    esac
    ;;
esac
