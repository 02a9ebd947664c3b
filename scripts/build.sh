#!/usr/bin/env bash
# Configures and builds one build folder. Usage: build.sh BUILD_DIR [extra cmake options...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$1"
shift
jobs="$(nproc 2>/dev/null || echo 2)"
cmake -S "$root" -B "$build_dir" -G Ninja "$@" >/dev/null
cmake --build "$build_dir" -j "$jobs"
