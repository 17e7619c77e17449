#!/bin/sh
# One run of the whole colour night as one skyvane-batch process, from the raw frames of
# a night made by gen_data.py --night --bayer PATTERN: calibrate (dark and flat),
# listdebayer, autoreg, median, the stack saved as 32-bit floating point. WORK_DIR is made
# afresh with links to the raw frames (the night's folder is not written to); the stack is
# WORK_DIR/stack.fit and frame 1 demosaiced WORK_DIR/lights/calibrated/debayer/frame_001.fit.
#
# usage: bench/colour_night_run.sh NIGHT_DIR WORK_DIR [SKYVANE_BATCH]
set -eu
night=$(cd "${1:?usage: $0 NIGHT_DIR WORK_DIR [SKYVANE_BATCH]}" && pwd)
work=${2:?usage: $0 NIGHT_DIR WORK_DIR [SKYVANE_BATCH]}
here=$(cd "$(dirname "$0")/.." && pwd)
batch=${3:-$here/build/skyvane-batch}
rm -rf "$work"
mkdir -p "$work/lights"
for f in "$night"/frame_*.fit; do ln -s "$f" "$work/lights/"; done
printf '[Image processing parameters]\nSave FITS as=1\n' >"$work/float.ini"
exec "$batch" --ini "$work/float.ini" --workdir "$work/lights" \
    -c "calibrate [WORK] ($night/dark.fit) ($night/flat.fit)" \
    -c "listdebayer [PATH]" \
    -c "autoreg [PATH2]" \
    -c "median [PATH3]" \
    --save "$work/stack.fit"
