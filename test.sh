#!/usr/bin/env bash
# Sets up what is missing, builds everything and runs every test under Xvfb.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/install-deps.sh
jobs="$(nproc)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
cd build
xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j"$jobs" "$@"
