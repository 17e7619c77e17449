#!/bin/sh
# Registration by star patterns of a night with a meridian flip and field rotation, through
# the batch tool, as a user runs it: writes the night with the shared generator when it is
# missing, runs "patternreg [WORK]" on its raw frames (linked into a scratch folder) under
# /usr/bin/time (wall time and peak memory of the whole process), reads the transform from
# the HISTORY cards of every registered frame and gives its error against the truth (the
# RMS, over a grid of points across the frame, of the distance between where the written
# transform and the true one put them), then runs the step-by-step benchmark
# (build/bench/patternreg_timing) on the calibrated frames.
#
# usage: bench/patternreg_night.sh [DATA_DIR [GENERATOR]]
#   DATA_DIR   folder of the night (default /work/benchdata/flipnight); written by
#              `GENERATOR DATA_DIR --night --flip 11 --rotate 2` (20 frames of 2048 x 2048)
#              when it holds no truth/transforms.csv
#   GENERATOR  default: /work/shared/bench/gen_data.py (run with /usr/bin/python3; needs
#              Debian's python3-numpy and python3-astropy)
# FLIP, ROTATE, FRAMES, WIDTH, HEIGHT in the environment change the night written.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
data=${1:-/work/benchdata/flipnight}
generator=${2:-/work/shared/bench/gen_data.py}
batch=$here/build/skyvane-batch
timing=$here/build/bench/patternreg_timing

[ -x "$batch" ] && [ -x "$timing" ] || { echo "no $batch or $timing (./build.sh build first)" >&2; exit 2; }
if [ ! -f "$data/truth/transforms.csv" ]; then
    [ -f "$generator" ] || { echo "no generator at $generator" >&2; exit 2; }
    /usr/bin/python3 "$generator" "$data" --night --flip "${FLIP:-11}" --rotate "${ROTATE:-2}" \
        --n "${FRAMES:-20}" --width "${WIDTH:-2048}" --height "${HEIGHT:-2048}"
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/patternreg_night.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/frames"
for f in "$data"/frame_*.fit; do
    ln -s "$f" "$scratch/frames/$(basename "$f")"
done

echo "== patternreg [WORK] through skyvane-batch, raw frames"
/usr/bin/time -f "wall %e s, user %U s, system %S s, peak memory %M KiB" \
    "$batch" --workdir "$scratch/frames" -c "patternreg [WORK]" >"$scratch/replies" 2>"$scratch/time"
cat "$scratch/replies" "$scratch/time"

echo "== transforms written (HISTORY cards) against the truth"
/usr/bin/python3 - "$data" "$scratch/frames/patternreg" <<'EOF'
import csv, math, os, re, sys

data, out = sys.argv[1], sys.argv[2]

def cards(path):
    text = b""
    with open(path, "rb") as f:
        while True:
            block = f.read(2880)
            if not block:
                break
            text += block
            if re.search(rb"^END {77}", block.decode("ascii", "replace").encode(), re.M) or b"END" + b" " * 77 in block:
                break
    return [text[i:i + 80].decode("ascii", "replace") for i in range(0, len(text), 80)]

def size(path):
    w = h = None
    for c in cards(path):
        if c.startswith("NAXIS1  ="):
            w = int(c[10:30])
        if c.startswith("NAXIS2  ="):
            h = int(c[10:30])
    return w, h

rows = list(csv.DictReader(open(os.path.join(data, "truth", "transforms.csv"))))
total, count, missing = 0.0, 0, 0
for row in rows:
    name = "frame_%03d.fit" % int(row["frame"])
    path = os.path.join(out, name)
    if not os.path.exists(path):
        print("%s  not registered" % name)
        missing += 1
        continue
    w, h = size(path)
    cx, cy = (w - 1) / 2, (h - 1) / 2
    dx = dy = rot = 0.0
    scale, mirrored = 1.0, False
    for c in cards(path):
        m = re.match(r"HISTORY Skyvane: patternreg dx = (\S+) dy = (\S+)", c)
        if m:
            dx, dy = float(m.group(1)), float(m.group(2))
        m = re.match(r"HISTORY Skyvane: patternreg rotation = (\S+) scale = (\S+)( mirrored)?", c)
        if m:
            rot, scale, mirrored = float(m.group(1)), float(m.group(2)), bool(m.group(3))
    # Written: the frame turned by rot and scaled by scale lands on the reference, and the
    # reference's centre stands at centre + (dx, dy) in the frame. From the reference to
    # the frame: turn by -rot, scale by 1 / scale, about the centre.
    a = math.radians(-rot)
    ta = math.radians(float(row["angle_deg"]))
    sq = 0.0
    n = 0
    for i in range(9):
        for j in range(9):
            x, y = w * i / 8.0, h * j / 8.0
            u, v = x - cx, y - cy
            if mirrored:
                v = -v
            fx = cx + (math.cos(a) * u - math.sin(a) * v) / scale + dx
            fy = cy + (math.sin(a) * u + math.cos(a) * v) / scale + dy
            u, v = x - cx, y - cy
            tx = cx + math.cos(ta) * u - math.sin(ta) * v + float(row["dx"])
            ty = cy + math.sin(ta) * u + math.cos(ta) * v + float(row["dy"])
            sq += (fx - tx) ** 2 + (fy - ty) ** 2
            n += 1
    rms = math.sqrt(sq / n)
    total += sq
    count += n
    print("%s  transform error %.4f px RMS across the frame" % (name, rms))
print("registered %d of %d frames; transform error %.4f px RMS" % (len(rows) - missing, len(rows), math.sqrt(total / max(count, 1))))
EOF

echo "== step by step, calibrated frames (processor seconds of one thread)"
"$timing" "$data"
