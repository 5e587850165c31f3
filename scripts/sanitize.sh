#!/usr/bin/env bash
# Builds and runs the test suite with sanitizers: "address,undefined" (default) or "thread".
# Further arguments name test programs (test_device, qttest_TypingTest, ...): only those are
# built and run, each as a whole.
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:-address,undefined}"
shift || true
dir="build-$(echo "$kind" | tr ',' '-')"
bash scripts/bootstrap.sh
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DKARVO_SANITIZE="$kind" -DKARVO_BENCH=OFF >/dev/null
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/scripts/tsan.supp"
if [ $# -eq 0 ]; then
  cmake --build "$dir" -j"$(nproc)"
  ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" --timeout 900
  exit
fi
cmake --build "$dir" -j"$(nproc)" --target "$@"
failed=0
for program in "$@"; do
  echo "== $program ($kind)"
  if ! QT_QPA_PLATFORM=offscreen timeout 900 "$dir/tests/$program" >"$dir/$program.log" 2>&1; then
    tail -n 60 "$dir/$program.log"
    failed=$((failed + 1))
  fi
done
echo "$(( $# - failed )) passed, $failed failed"
[ "$failed" -eq 0 ]
