#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) in their own build folder and
# runs each for SECONDS (default 20) from a seed corpus made of the project's data files,
# the demo files and the real test files when present. Prints executions, coverage and
# findings per target; exits non-zero when any target crashed, leaked or timed out.
#
#   scripts/fuzz.sh [SECONDS]      environment: PAVONIX_FUZZ_BUILD (build folder),
#                                  PAVONIX_FUZZ_TARGETS (space-separated subset),
#                                  PAVONIX_FUZZ_JOBS (parallel build jobs),
#                                  PAVONIX_FUZZ_PARALLEL (targets run at once, default 1)
set -uo pipefail
seconds="${1:-20}"
src="$(cd "$(dirname "$0")/.." && pwd)"
build="${PAVONIX_FUZZ_BUILD:-$src/build-fuzz}"
jobs="${PAVONIX_FUZZ_JOBS:-$(nproc)}"
parallel="${PAVONIX_FUZZ_PARALLEL:-1}"
real="$src/../shared/testdata/real"
all_targets="fuzz_model fuzz_vmd fuzz_default_face fuzz_bmp fuzz_tga fuzz_png fuzz_jpeg fuzz_dds
             fuzz_calibration fuzz_pattern fuzz_detect fuzz_video_config"
targets="${PAVONIX_FUZZ_TARGETS:-$all_targets}"

if ! command -v clang++ >/dev/null; then
    echo "fuzz.sh: clang++ is not installed" >&2
    exit 2
fi
mkdir -p "$build"
CC=clang CXX=clang++ cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAVONIX_FUZZ=ON \
    -DPAVONIX_BUILD_TESTS=OFF -DPAVONIX_BUILD_BENCH=OFF >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log" >&2; echo "fuzz.sh: configure failed" >&2; exit 2; }
# shellcheck disable=SC2086
cmake --build "$build" -j"$jobs" --target $targets >"$build/build.log" 2>&1 ||
    { tail -40 "$build/build.log" >&2; echo "fuzz.sh: build failed" >&2; exit 2; }

# Seeds: copied into the build folder (never the repository); files over 256 KiB are
# left out, since libFuzzer spends its whole budget on the first pass over large ones.
seed() {  # seed TARGET FILE...
    local dir="$build/corpus/$1"
    shift
    mkdir -p "$dir"
    local f
    for f in "$@"; do
        [ -f "$f" ] && [ "$(stat -c %s "$f")" -le 262144 ] && cp -f "$f" "$dir/$(basename "$f" | tr -c 'A-Za-z0-9._\n-' _)" 2>/dev/null
    done
    return 0
}
find_real() {  # find_real SUBDIR NAME-PATTERN...
    [ -d "$real/$1" ] || return 0
    local d="$1"
    shift
    local args=() p
    for p in "$@"; do args+=(-o -iname "$p"); done
    find "$real/$d" -type f \( -false "${args[@]}" \) 2>/dev/null
}
rm -rf "$build/corpus"
mapfile -t f < <(ls "$src"/Data/demo/*.pm[dx] 2>/dev/null; find_real pmd '*.pmd'; find_real pmx '*.pmx')
seed fuzz_model "${f[@]}"
mapfile -t f < <(ls "$src"/Data/demo/*.vmd 2>/dev/null; find_real vmd '*.vmd')
seed fuzz_vmd "${f[@]}"
seed fuzz_default_face "$src/Data/demo/default_face.txt"
printf '\x82\xdc\x82\xce\x82\xbd\r\n\xe3\x81\xbe\xe3\x81\xb0\xe3\x81\x9f\n' >"$build/corpus/fuzz_default_face/mixed.txt"
for kind in bmp:'*.bmp' tga:'*.tga' png:'*.png' jpeg:'*.jp*g' dds:'*.dds'; do
    name="${kind%%:*}"
    pattern="${kind#*:}"
    mapfile -t f < <(ls "$src"/Data/demo/$pattern "$src"/Data/$pattern 2>/dev/null; find_real textures "$pattern"
                     [ "$name" = bmp ] && find_real textures '*.sph' '*.spa')
    seed "fuzz_$name" "${f[@]}"
done
# A valid 33 KB PNG of 16384 x 16384 pixels: once decoded into a gigabyte that ran the
# fuzzer out of memory; now refused on its header (kept as a regression).
python3 - "$build/corpus/fuzz_png/huge-flat.png" <<'PY'
import struct, sys, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
side = 16384
rows = (b"\0" * (1 + side // 8)) * side
png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 1, 0, 0, 0, 0)) +
       chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))
open(sys.argv[1], "wb").write(png)
PY
seed fuzz_calibration "$src/Data/camera_para.dat"
seed fuzz_pattern "$src/Data/patt.00"
seed fuzz_video_config "$src/Data/WDM_camera_flipV.xml"
mkdir -p "$build/corpus/fuzz_detect"
# A 642x306 frame of fine noise whose labelling once took seconds (kept as a regression).
printf '\x01\xf0\x31\x01\x3f\x00\x64\x0f\x00\xf0\x40\xdc\x02\x00\x00\xe6\x11\x7b\x7b\x7b\x7b\x7b' \
    >"$build/corpus/fuzz_detect/noise"
# A frame whose square came out with sides of 1e12 pixels (kept as a regression).
printf %b '\x40\x01\xf0\x30\x3a\x05\xbf\xff\x64\x0f\x00\xf0\x40\xdc\x5b\x05\x3f\x00\x90\x24\x0f\x00\xf0\x40' \
    '\xdc\x02\x00\x11\xb7\x00\xe6\x7b\x2f\x11\x7b\x7b\x7b\x7b\x7b\xa1\x76\xe6\x1c\x19\x19\x19\xe6\xe6' \
    '\xe6\xe6\xe6\xe6\xe6\xff\xff\xff\xff\xff\xff\xff\xa8\xe6\xe6\xe6\xe6\xe6\xe6\xe6\x01\xf0\x19\x19' \
    '\x19\xe6\xe6\xe6\xe6\xe6\xe6\xe6\xff\xff\xff\xff\xff\xff\xff\xa8\xe6\xe6\xe6\x7b\xe6\x0a\x3a\x0a' \
    '\x0a\x0a\x0a\x0a\xe6\xe6\xe6\x0a\x0a\x0a\x0a\x0a\xe6\x0a' \
    >"$build/corpus/fuzz_detect/huge-square"
# A 320x240 frame (cells of 16 pixels) holding a dark square with a light inside.
python3 - "$build/corpus/fuzz_detect/square" <<'PY'
import sys
w, h, cell = 320, 240, 16
cols, rows = w // cell, h // cell
head = bytes([w & 255, w >> 8, h & 255, h >> 8, 100, cell - 1, 0])
grid = bytearray([230] * (cols * rows))
for y in range(4, 12):
    for x in range(6, 14):
        edge = y in (4, 5, 10, 11) or x in (6, 7, 12, 13)
        grid[y * cols + x] = 10 if edge else (200 if (x + y) % 3 else 40)
open(sys.argv[1], "wb").write(head + bytes(grid))
PY

# Each target runs in an empty folder so texture names in fuzzed models find nothing
# by accident; findings (crash-*, leak-*, timeout-*) land there too.
run_target() {  # run_target TARGET: leaves fuzz.log and the exit status in its folder
    local work="$build/run/$1"
    (cd "$work" && PAVONIX_NO_DIALOGS=1 ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
        "$build/fuzz/$1" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=262144 \
        -print_final_stats=1 "$work/corpus_out" "$build/corpus/$1" >"$work/fuzz.log" 2>&1)
    echo $? >"$work/status"
}
for t in $targets; do
    rm -rf "$build/run/$t"
    mkdir -p "$build/run/$t/corpus_out" "$build/corpus/$t"
    run_target "$t" &
    while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n; done
done
wait

failed=0
printf '%-20s %10s %8s %8s %8s  %s\n' target execs cov ft corpus result
for t in $targets; do
    work="$build/run/$t"
    log="$work/fuzz.log"
    rc=$(cat "$work/status" 2>/dev/null || echo 1)
    execs=$(grep -a '^stat::number_of_executed_units' "$log" | awk '{print $2}')
    last=$(grep -a -E '#[0-9]+.*(cov|DONE)' "$log" | tail -1)
    cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$last")
    corp=$(sed -n 's/.*corp: \([0-9]*\).*/\1/p' <<<"$last")
    findings=$(ls "$work" | grep -E '^(crash|leak|timeout|oom|slow-unit)-' | tr '\n' ' ')
    if [ "$rc" -eq 0 ] && [ -z "$findings" ]; then
        result=ok
    else
        result="FAILED (exit $rc) $findings"
        failed=1
    fi
    printf '%-20s %10s %8s %8s %8s  %s\n' "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$result"
    if [ "$result" != ok ]; then
        grep -a -m1 -n -E 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log" | head -3
        grep -a -A25 -m1 -E '==[0-9]+==ERROR|runtime error:' "$log" | grep -a -E '^\s+#[0-9]+ ' | head -8
        echo "    log: $log"
    fi
done
exit $failed
