#!/bin/sh
# First use against repeats: opening and displaying a 2048 x 2048 frame, and sigma clipping
# of 20 such frames, each timed as the first operation of a fresh process and as its
# repeats in that process, on the machine's memory as it is and then on fragmented memory.
# Cases: "plain" is the program as it is; "hint" (load) marks Image A's grid for
# transparent huge pages before the first load, as the program used to; "refused" (sigma
# clipping) refuses huge pages to the whole process.
#
# usage: bench/first_use.sh [FOLDER [PROCESSES [ROUNDS [KEEP_FREE_MIB]]]]
#   FOLDER         frames (default /work/benchdata/S, 20 frames of 2048 x 2048, written with
#                  gen_data.py --set S when missing); its first frame is the one opened
#   PROCESSES      processes per case, the cases taking turns (default 5)
#   ROUNDS         operations per process (default 5): round 1 is the first use, rounds 2
#                  and later are the repeats
#   KEEP_FREE_MIB  memory left available while fragmenting (default 1024). Fragmenting takes
#                  nearly all free memory for a while (a minute or more on a large machine,
#                  and the page cache with it), then holds about half of it: run it on a
#                  machine that can spare that.
# Environment: FIRST_USE_TIMING names the timing program (default build/bench/
# first_use_timing beside this folder); FRAGMENT=0 skips the fragmented part.
# Output: the huge-page settings, then per memory state, operation and case: the first
# use and the repeats (medians over processes, seconds), the median of the processes' own
# ratios first / repeats, the slowest first use, and the kernel's count of compaction
# stalls and huge-page faults during that case.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
folder=${1:-/work/benchdata/S}
processes=${2:-5}
rounds=${3:-5}
keep_free=${4:-1024}
timing=${FIRST_USE_TIMING:-$here/build/bench/first_use_timing}
generator=${GENERATOR:-/work/shared/bench/gen_data.py}

[ -x "$timing" ] || { echo "no $timing (build the target first_use_timing)" >&2; exit 2; }
ls "$folder"/*.fit >/dev/null 2>&1 || /usr/bin/python3 "$generator" "$folder" --set S
frame=$(ls "$folder"/*.fit | head -1)

work=$(mktemp -d)
fragmenter=""
cleanup() {
    if [ -n "$fragmenter" ]; then
        exec 3>&- 2>/dev/null || true
        wait "$fragmenter" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM
cc -O2 "$here/bench/fragment_memory.c" -o "$work/fragment_memory"

thp=/sys/kernel/mm/transparent_hugepage
echo "transparent huge pages: enabled $(cat $thp/enabled 2>/dev/null), defrag $(cat $thp/defrag 2>/dev/null)"
echo "kernel $(uname -r); $(nproc) cores; $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"

median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
vmstat() { awk -v k="$1" '$1 == k { print $2 }' /proc/vmstat; }
huge_free() { awk '/zone/ { for (i = 5 + 9; i <= NF; i++) s += $i } END { print s + 0 }' /proc/buddyinfo; }

# Runs every case PROCESSES times in turn and prints its lines.
measure() { # state
    cat "$folder"/*.fit >/dev/null
    for c in $cases; do
        : >"$work/$c.first"
        : >"$work/$c.rest"
        : >"$work/$c.ratio"
        echo 0 0 0 >"$work/$c.kernel"
    done
    p=0
    while [ "$p" -lt "$processes" ]; do
        for c in $cases; do
            op=${c%.*}
            flag=""
            [ "${c#*.}" = refused ] && flag=--no-thp
            [ "${c#*.}" = hint ] && flag=--hint
            target=$frame
            [ "$op" = sigclip ] && target=$folder
            s0=$(vmstat compact_stall)
            a0=$(vmstat thp_fault_alloc)
            f0=$(vmstat thp_fault_fallback)
            # shellcheck disable=SC2086
            "$timing" $flag "$op" "$target" "$rounds" >"$work/run"
            read -r ks ka kf <"$work/$c.kernel"
            echo "$((ks + $(vmstat compact_stall) - s0)) $((ka + $(vmstat thp_fault_alloc) - a0)) $((kf + $(vmstat thp_fault_fallback) - f0))" >"$work/$c.kernel"
            head -1 "$work/run" >>"$work/$c.first"
            rest=$(tail -n +2 "$work/run" | median)
            echo "$rest" >>"$work/$c.rest"
            awk -v f="$(head -1 "$work/run")" -v r="$rest" 'BEGIN { print f / r }' >>"$work/$c.ratio"
        done
        p=$((p + 1))
    done
    for c in $cases; do
        read -r ks ka kf <"$work/$c.kernel"
        pages=${c#*.}
        printf '%-11s %-8s %-8s %8.4f %8.4f %7.2f %8.4f %7s %9s %9s\n' "$1" "${c%.*}" "$pages" \
            "$(median <"$work/$c.first")" "$(median <"$work/$c.rest")" "$(median <"$work/$c.ratio")" \
            "$(sort -g "$work/$c.first" | tail -1)" "$ks" "$ka" "$kf"
    done
}

cases="load.hint load.plain sigclip.plain sigclip.refused"
printf '%-11s %-8s %-8s %8s %8s %7s %8s %7s %9s %9s\n' memory op case first_s repeat_s ratio worst_s stalls thp_faults fallbacks
echo "# as it is: load $(cut -d' ' -f1-3 /proc/loadavg), $(huge_free) free blocks of 2 MiB or more"
measure "as-is"

if [ "${FRAGMENT:-1}" != 0 ]; then
    mkfifo "$work/hold"
    "$work/fragment_memory" "$keep_free" <"$work/hold" >"$work/fragmenter.out" &
    fragmenter=$!
    exec 3>"$work/hold"
    while ! grep -q ready "$work/fragmenter.out" 2>/dev/null; do
        kill -0 "$fragmenter" 2>/dev/null || { echo "the fragmenter stopped" >&2; exit 1; }
        sleep 1
    done
    echo "# fragmented ($(cat "$work/fragmenter.out")): load $(cut -d' ' -f1-3 /proc/loadavg), $(huge_free) free blocks of 2 MiB or more"
    measure "fragmented"
    echo "# after: $(huge_free) free blocks of 2 MiB or more"
fi
