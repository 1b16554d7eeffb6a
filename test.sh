#!/usr/bin/env bash
# Sets up what is missing, builds everything and runs every test under Xvfb; then
# builds the reader and tracker suites with AddressSanitizer + UndefinedBehaviorSanitizer
# and runs them, and fuzzes every file reader for a short while (scripts/fuzz.sh).
# Arguments go to the first ctest run. Each phase prints its time; the exit status is
# non-zero when any phase failed.
#   PAVONIX_TEST_PHASES picks phases (default "main sanitize fuzz"; main = dependencies,
#   build and the normal tests);
#   PAVONIX_FUZZ_SECONDS sets the time per fuzz target (default 20);
#   PAVONIX_TEST_BUILD, PAVONIX_SANITIZE_BUILD, PAVONIX_FUZZ_BUILD name the build folders
#   (default build, build-sanitize, build-fuzz).
set -uo pipefail
cd "$(dirname "$0")"
jobs="$(nproc)"
build="${PAVONIX_TEST_BUILD:-build}"
sbuild="${PAVONIX_SANITIZE_BUILD:-build-sanitize}"
overall=$(date +%s)
failed=()
declare -a times=()

phase() {  # phase NAME COMMAND...: runs, times and records the outcome of one phase
    local name="$1" start rc
    shift
    echo "=== $name"
    start=$(date +%s)
    "$@"
    rc=$?
    times+=("$(printf '%-34s %5d s  %s' "$name" $(( $(date +%s) - start )) "$([ $rc -eq 0 ] && echo ok || echo "FAILED ($rc)")")")
    [ $rc -eq 0 ] || failed+=("$name")
    return $rc
}

summary() {
    echo "=== phases"
    printf '%s\n' "${times[@]}"
    printf '%-34s %5d s\n' "total" $(( $(date +%s) - overall ))
    if [ ${#failed[@]} -gt 0 ]; then
        echo "failed: ${failed[*]}"
        exit 1
    fi
}

phases=" ${PAVONIX_TEST_PHASES:-main sanitize fuzz} "
if [[ $phases == *" main "* ]]; then
phase "dependencies" bash scripts/install-deps.sh || summary
phase "configure" cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo || summary
phase "build" cmake --build "$build" -j"$jobs" || summary
phase "tests" bash -c 'cd "$0" && xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j"$1" "${@:2}"' \
    "$build" "$jobs" "$@"
fi

# The readers of outside files (models, motions, textures, calibration, pattern, video
# configuration and files) and the tracker under ASan + UBSan, in their own folder
# without benchmarks. Leaks are checked; the few that Mesa, X and GTK keep for the life
# of the process are suppressed by library, never ours. The tool tests skip here (the
# tools are not built).
sanitize_suites="test_model test_image test_render test_animation test_tracking test_platform test_video test_hardening"
sanitize_labels='^(model|image|render|animation|tracking|platform|video|hardening)$'
sanitize() {
    mkdir -p "$sbuild"
    cmake -S . -B "$sbuild" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPAVONIX_SANITIZE=ON \
        -DPAVONIX_BUILD_BENCH=OFF >"$sbuild/configure.log" 2>&1 || { cat "$sbuild/configure.log"; return 1; }
    # shellcheck disable=SC2086
    cmake --build "$sbuild" -j"$jobs" --target $sanitize_suites || return 1
    cat >"$sbuild/lsan.supp" <<'SUPP'
leak:libGLX
leak:libGL.so
leak:libgallium
leak:libLLVM
leak:swrast_dri
leak:libX11
leak:libxcb
leak:libglut
leak:libgtk-3
leak:libgdk-3
leak:libglib-2.0
leak:libgobject-2.0
leak:libfontconfig
leak:libdbus
leak:libusb-1.0
SUPP
    (cd "$sbuild" && \
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1 \
        LSAN_OPTIONS="suppressions=$PWD/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        xvfb-run -a -s "-screen 0 1280x1024x24" ctest --output-on-failure -j"$jobs" -L "$sanitize_labels")
}
[[ $phases != *" sanitize "* ]] || phase "sanitizers (ASan + UBSan)" sanitize
[[ $phases != *" fuzz "* ]] || \
    phase "fuzzing (${PAVONIX_FUZZ_SECONDS:-20} s per target)" bash scripts/fuzz.sh "${PAVONIX_FUZZ_SECONDS:-20}"
summary
