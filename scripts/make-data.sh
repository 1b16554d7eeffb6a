#!/usr/bin/env bash
# Regenerates the tracker's data files with the project's own tools:
#   Data/camera_para.dat  calibration of a plausible 640x480 webcam (about 60 degrees
#                         horizontal view, mild barrel distortion)
#   Data/patt.00          pattern of the built-in marker design
#   Data/marker.png       the printable marker (80 mm square at 300 dpi)
#   Data/toon/            the ten default toon ramps, toon01.bmp ... toon10.bmp
# usage: scripts/make-data.sh [TOOLS_DIR [OUT_DIR]]
#   TOOLS_DIR  folder holding pavonix-make-calibration, pavonix-make-marker and
#              pavonix-make-toon
#              (default: build/tools of the source tree)
#   OUT_DIR    where the files go (default: Data/ of the source tree)
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
tools_dir=${1:-$source_dir/build/tools}
out_dir=${2:-$source_dir/Data}

for tool in pavonix-make-calibration pavonix-make-marker pavonix-make-toon; do
    if [[ ! -x $tools_dir/$tool ]]; then
        echo "make-data.sh: $tools_dir/$tool not found; build the tools first" >&2
        exit 1
    fi
done
mkdir -p "$out_dir"

"$tools_dir/pavonix-make-calibration" --width 640 --height 480 \
    --fx 554.3 --fy 553.6 --cx 321.4 --cy 238.9 \
    --dist-cx 320.8 --dist-cy 239.6 --dist-f 3.1 --dist-s 1.0 \
    "$out_dir/camera_para.dat"

"$tools_dir/pavonix-make-marker" --builtin --size-mm 80 --dpi 300 --margin 0.25 \
    "$out_dir/patt.00" "$out_dir/marker.png"

"$tools_dir/pavonix-make-toon" "$out_dir/toon"
