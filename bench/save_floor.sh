#!/bin/sh
# Saving a 16-bit image against its floor, measured in one run: save_floor.c (CFITSIO
# writes pixels already converted and in file order from memory, then one fsync) and
# save_timing (Skyvane's ImageRecord::saveFits of the same image: header cards, conversion
# of the doubles, the safe replacement with its syncs). Both time only the save, round by
# round, in processes that take turns.
#
# usage: bench/save_floor.sh [IMAGE [OUT_DIR [PROCESSES [ROUNDS]]]]
#   IMAGE      a 16-bit FITS image (default /work/benchdata/L/frame_001.fit, 4096 x 4096,
#              written with gen_data.py --set L when missing)
#   OUT_DIR    where the saved files go (default a fresh folder under /var/tmp: on disk, so
#              that the syncs cost what they cost for a user)
#   PROCESSES  processes of each program, in turn (default 5)
#   ROUNDS     saves per process (default 4); the first of each process is reported apart
#              (it pays for first use of memory), the others make the medians
# The Skyvane program is build/bench/save_timing beside this script's folder (SAVE_TIMING
# names another); OTHER_SAVE_TIMING names a second one (another version, say) measured in
# the same turns.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
image=${1:-/work/benchdata/L/frame_001.fit}
out=${2:-}
processes=${3:-5}
rounds=${4:-4}
timing=${SAVE_TIMING:-$here/build/bench/save_timing}
other=${OTHER_SAVE_TIMING:-}
generator=${GENERATOR:-/work/shared/bench/gen_data.py}

[ -x "$timing" ] || { echo "no $timing (build the target save_timing)" >&2; exit 2; }
if [ ! -f "$image" ]; then
    /usr/bin/python3 "$generator" "$(dirname "$image")" --set L
fi

work=$(mktemp -d)
if [ -z "$out" ]; then
    out=$(mktemp -d /var/tmp/skyvane-save-XXXXXX)
    trap 'rm -rf "$work" "$out"' EXIT INT TERM
else
    trap 'rm -rf "$work"; rm -f "$out/save_floor.fit" "$out/save_skyvane.fit"' EXIT INT TERM
fi
cc -O2 "$here/bench/save_floor.c" $(pkg-config --cflags --libs cfitsio) -o "$work/save_floor"

median() {
    sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

load0=$(cut -d' ' -f1-3 /proc/loadavg)
p=0
while [ "$p" -lt "$processes" ]; do
    "$work/save_floor" "$image" "$out/save_floor.fit" "$rounds" >"$work/f.$p"
    "$timing" "$image" "$out/save_skyvane.fit" "$rounds" >"$work/s.$p"
    [ -z "$other" ] || "$other" "$image" "$out/save_skyvane.fit" "$rounds" >"$work/o.$p"
    p=$((p + 1))
done
load1=$(cut -d' ' -f1-3 /proc/loadavg)

later() { # the rounds after the first of each process
    for f in "$@"; do
        if [ "$rounds" -gt 1 ]; then tail -n +2 "$f"; else cat "$f"; fi
    done
}
later "$work"/f.* >"$work/floor"
later "$work"/s.* >"$work/sky"
for f in "$work"/f.*; do head -1 "$f"; done >"$work/floor.first"
for f in "$work"/s.*; do head -1 "$f"; done >"$work/sky.first"
paste -d' ' "$work/sky" "$work/floor" | awk '{ print $1 / $2 }' >"$work/ratio"

echo "image: $image ($(stat -L -c %s "$image") bytes); saved into $out; load $load0 -> $load1"
printf '%-22s %10s %10s %8s\n' "" floor_s skyvane_s ratio
printf '%-22s %10.4f %10.4f %8.3f\n' "later rounds (median)" "$(median <"$work/floor")" "$(median <"$work/sky")" "$(median <"$work/ratio")"
printf '%-22s %10.4f %10.4f\n' "first round (median)" "$(median <"$work/floor.first")" "$(median <"$work/sky.first")"
if [ -n "$other" ]; then
    later "$work"/o.* >"$work/other"
    for f in "$work"/o.*; do head -1 "$f"; done >"$work/other.first"
    paste -d' ' "$work/other" "$work/floor" | awk '{ print $1 / $2 }' >"$work/ratio.other"
    echo "other: $other"
    printf '%-22s %10.4f %10.4f %8.3f\n' "later rounds (median)" "$(median <"$work/floor")" "$(median <"$work/other")" "$(median <"$work/ratio.other")"
    printf '%-22s %10.4f %10.4f\n' "first round (median)" "$(median <"$work/floor.first")" "$(median <"$work/other.first")"
fi
