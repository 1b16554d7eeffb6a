#!/usr/bin/env bash
# Sets up what is missing, builds, and starts the viewer. With no arguments it shows the
# demo character dancing; any arguments go to pavonix instead.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target pavonix -j"$(nproc)"
if [ $# -eq 0 ]; then
  set -- --model Data/demo/pavo.pmd --motion Data/demo/dance.vmd
fi
exec ./build/app/pavonix "$@"
