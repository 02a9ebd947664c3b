#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, with clang) and runs each for a while, seeded from fuzz/corpus/<target>/.
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

all_targets=(
    fuzz_cp932_to_utf8 fuzz_utf8_to_cp932 fuzz_server_message fuzz_credentials_reader fuzz_rule_file
    fuzz_speech_style fuzz_relay_framer fuzz_sign_in_protocol fuzz_record_assembler fuzz_server_options
    fuzz_log_printable fuzz_proxy_header
)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=("${all_targets[@]}")
fi

# Inputs long enough to cross the codec's 4 KiB conversion chunks and to hold several records.
max_len_of() {
    case "$1" in
    fuzz_cp932_to_utf8 | fuzz_utf8_to_cp932) echo 16384 ;;
    fuzz_record_assembler | fuzz_relay_framer) echo 8192 ;;
    *) echo 4096 ;;
    esac
}

"$root/scripts/install-deps.sh"
build_dir="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build_dir" -G Ninja -DVESMIRA_WERROR=ON >/dev/null
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
    "$build_dir/$target" -max_total_time="$seconds" -max_len="$(max_len_of "$target")" -timeout=10 \
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
    echo "Reproduce with: $build_dir/<target> $build_dir/artifacts/<target>/<crash file>" >&2
    exit 1
fi
