#!/usr/bin/env bash
# Builds everything and runs every test: once in a normal build, once with AddressSanitizer and
# UndefinedBehaviorSanitizer; builds the fuzz targets and runs each for a moment. Any failure or sanitizer report
# fails the run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
jobs="$(nproc 2>/dev/null || echo 2)"

run_suite() {
    local build_dir="$1"
    shift
    "$root/scripts/build.sh" "$build_dir" -DVESMIRA_WERROR=ON "$@"
    ctest --test-dir "$build_dir" -j "$jobs" --output-on-failure --timeout 300
}

echo "== Normal build"
run_suite "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESMIRA_BUILD_BENCH=ON

# Every fuzz target built with clang and run briefly from its seeds: a target that no longer builds, or an input of
# its corpus that now fails, stops the run. scripts/fuzz.sh with more seconds is the real search.
echo "== Fuzz targets (a short run of each)"
FUZZ_BUILD_JOBS="$jobs" "$root/scripts/fuzz.sh" "${VESMIRA_FUZZ_SECONDS:-2}"

echo "== Sanitizer build (ASan + UBSan)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
run_suite "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DVESMIRA_SANITIZE=ON
