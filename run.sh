#!/usr/bin/env bash
# Sets up what is missing, builds, and starts the viewer. Arguments go to pavonix.
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAVONIX_BUILD_BENCH=OFF >/dev/null
cmake --build build --target pavonix -j"$(nproc)"
exec ./build/app/pavonix "$@"
