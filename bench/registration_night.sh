#!/bin/sh
# Registration of a night's drifting frames: writes the night with the shared generator when
# it is missing, then runs the registration benchmark on it (accuracy against the true
# shifts, sharpness of the co-added result, time and memory).
#
# usage: bench/registration_night.sh [DATA_DIR [GENERATOR [BENCHMARK ARGS...]]]
#   DATA_DIR   folder of the night (default /work/benchdata/night); written by
#              `GENERATOR DATA_DIR --night` when it holds no truth/shifts.csv
#   GENERATOR  default: /work/shared/bench/gen_data.py (run with /usr/bin/python3; needs
#              Debian's python3-numpy and python3-astropy)
# The benchmark program is build/bench/registration_bench beside this script's folder.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
data=${1:-/work/benchdata/night}
generator=${2:-/work/shared/bench/gen_data.py}
[ $# -gt 0 ] && shift
[ $# -gt 0 ] && shift
bench=$here/build/bench/registration_bench

[ -x "$bench" ] || { echo "no benchmark at $bench (./build.sh build first)" >&2; exit 2; }
if [ ! -f "$data/truth/shifts.csv" ]; then
    [ -f "$generator" ] || { echo "no generator at $generator" >&2; exit 2; }
    /usr/bin/python3 "$generator" "$data" --night
fi
SKYVANE_NIGHT_DATA=$data exec "$bench" "$@"
