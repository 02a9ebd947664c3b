#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, with clang: the project configured with -DVESMIRA_FUZZ=ON) and runs each for a
# while, seeded from fuzz/corpus/<target>/. The targets and their longest inputs are fuzz/CMakeLists.txt's.
# Usage: fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   (default 30 seconds, every target)
# New inputs the fuzzer finds go to build-fuzz/corpus/<target>/, crashing inputs to build-fuzz/artifacts/<target>/.
# Fails when any target crashes, leaks, hangs or breaks one of its invariants.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-30}"
shift || true
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
    echo "usage: $0 [SECONDS_PER_TARGET] [TARGET...]" >&2
    exit 2
fi

"$root/scripts/install-deps.sh"
build_dir="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -G Ninja -DVESMIRA_FUZZ=ON -DVESMIRA_WERROR=ON >/dev/null

declare -A max_len
all_targets=()
while read -r name length; do
    all_targets+=("$name")
    max_len[$name]="$length"
done <"$build_dir/fuzz/targets.txt"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=("${all_targets[@]}")
fi
for target in "${targets[@]}"; do
    if [ -z "${max_len[$target]:-}" ]; then
        echo "unknown fuzz target: $target (known: ${all_targets[*]})" >&2
        exit 2
    fi
done
cmake --build "$build_dir" -j "${FUZZ_BUILD_JOBS:-2}" --target "${targets[@]}"

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=()
printf '%-26s %12s %10s %8s  %s\n' target executions exec/s corpus result
for target in "${targets[@]}"; do
    seeds="$root/fuzz/corpus/$target"
    corpus="$build_dir/corpus/$target"
    artifacts="$build_dir/artifacts/$target"
    log="$build_dir/logs/$target.log"
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    status=0
    "$build_dir/fuzz/$target" -max_total_time="$seconds" -max_len="${max_len[$target]}" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$seeds" \
        >"$log" 2>&1 || status=$?
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)"
    units="$(find "$corpus" -type f | wc -l)"
    if [ "$status" -eq 0 ]; then
        result="ok"
    else
        result="FAILED (exit $status), see $log"
        failed+=("$target")
    fi
    printf '%-26s %12s %10s %8s  %s\n' "$target" "${runs:-?}" "${rate:-?}" "$units" "$result"
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "Fuzzing failed: ${failed[*]}" >&2
    echo "Reproduce with: $build_dir/fuzz/<target> $build_dir/artifacts/<target>/<crash file>" >&2
    exit 1
fi
