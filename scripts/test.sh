#!/usr/bin/env bash
# The whole test suite: the native build with its tests, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the Windows build with
# its tests under Wine. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/setup.sh --win32

run_native() {  # <build dir> <extra cmake args...>
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

echo "== native build and tests"
run_native build/native -DCRTELV_BENCH=ON
echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_native build/sanitize -DCRTELV_SANITIZE=ON

if [ -f scripts/win32.sh ]; then
  echo "== Windows build and tests under Wine"
  bash scripts/win32.sh test
fi
