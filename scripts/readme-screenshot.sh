#!/usr/bin/env bash
# Takes the README's screenshot: the demo character dancing on the marker in the
# virtual camera's view, about two seconds into the dance, under Xvfb.
# Usage: scripts/readme-screenshot.sh [OUT.png]   (default docs/pavo-demo.png)
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-docs/pavo-demo.png}"
cmake -S . -B build >/dev/null
cmake --build build --target pavonix -j"$(nproc)" >/dev/null
PAVONIX_NO_DIALOGS=1 xvfb-run -a -s "-screen 0 1280x1024x24" \
  ./build/app/pavonix --video virtual --model Data/demo/pavo.pmd --motion Data/demo/dance.vmd \
  --frames 60 --screenshot "$out"
echo "wrote $out"
