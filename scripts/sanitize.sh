#!/usr/bin/env bash
# Builds and runs the test suite with sanitizers: "address,undefined" (default) or "thread".
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:-address,undefined}"
dir="build-$(echo "$kind" | tr ',' '-')"
bash scripts/bootstrap.sh
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DKARVO_SANITIZE="$kind" -DKARVO_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/scripts/tsan.supp"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 900
