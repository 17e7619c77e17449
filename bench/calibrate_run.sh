#!/bin/sh
# One run of `calibrate` as one skyvane-batch process over the light frames of a night from
# gen_data.py --night (grey or colour): every frame_*.fit minus dark.fit, divided by
# flat.fit normalised (to a mean of 1, per filter place for a mosaic), 32-bit floating-point
# results in WORK_DIR/lights/calibrated. WORK_DIR is made afresh with links to the frames.
# Its numpy counterpart, one pass per frame (astropy read, float64 arithmetic, astropy
# write), is bench/calibrate_numpy.py NIGHT_DIR OUT_DIR; time the two as whole processes,
# in turn, in the same run.
#
# usage: bench/calibrate_run.sh NIGHT_DIR WORK_DIR [SKYVANE_BATCH]
set -eu
night=$(cd "${1:?usage: $0 NIGHT_DIR WORK_DIR [SKYVANE_BATCH]}" && pwd)
work=${2:?usage: $0 NIGHT_DIR WORK_DIR [SKYVANE_BATCH]}
here=$(cd "$(dirname "$0")/.." && pwd)
batch=${3:-$here/build/skyvane-batch}
rm -rf "$work"
mkdir -p "$work/lights"
for f in "$night"/frame_*.fit; do ln -s "$f" "$work/lights/"; done
exec "$batch" --ini /dev/null --workdir "$work/lights" -c "calibrate [WORK] ($night/dark.fit) ($night/flat.fit)"
