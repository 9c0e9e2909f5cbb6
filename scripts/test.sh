#!/usr/bin/env bash
# The whole test suite: the check of the waiting primitives in the sources,
# a Release build of the library, both providers and the tool, the native
# build with its tests, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded suites under ThreadSanitizer, a
# short run of every fuzz target, and the Windows build with its tests under
# Wine. Installs what is missing first.
#   scripts/test.sh            everything
#   scripts/test.sh --native   all but the Windows build (installs no Windows
#                              toolchain, runs no Wine)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)

win32=1
case "${1:-}" in
  "") ;;
  --native) win32=0 ;;
  *) echo "usage: $0 [--native]" >&2; exit 2 ;;
esac

# The Windows stage fits what it runs through an emulator into what is left
# of this budget (scripts/win32.sh); CI stops a run at 90 minutes.
export CRTELV_TEST_START=${CRTELV_TEST_START:-$(date +%s)}
export CRTELV_TIME_BUDGET=${CRTELV_TIME_BUDGET:-4500}

if [ "$win32" = 1 ]; then bash scripts/setup.sh --win32; else bash scripts/setup.sh; fi

echo "== waiting primitives that are unsafe on the Windows build"
bash scripts/check_sync.sh

# A test program that runs longer than this has hung (the slowest takes
# under a second natively, a few times that under the sanitizers).
native_timeout=120

# Every build here treats warnings as errors. The extra arguments come last,
# so that one may name another build type.
configure_and_build() {  # <build dir> <targets|ALL> <extra cmake args...>
  local dir=$1 targets=$2; shift 2
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCRTELV_WERROR=ON "$@" >/dev/null
  if [ "$targets" = ALL ]; then
    cmake --build "$dir" -j "$jobs" >/dev/null
  else
    # shellcheck disable=SC2086
    cmake --build "$dir" -j "$jobs" --target $targets >/dev/null
  fi
}

run_tests() {  # <build dir> [ctest args...]
  local dir=$1; shift
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout "$native_timeout" "$@" </dev/null
}

echo "== Release build of the library, both providers and the tool"
configure_and_build build/release-werror "cr_telv crtelv_sim_variants cpki1_openssl cpki1-tool" \
  -DCMAKE_BUILD_TYPE=Release -DCRTELV_TESTS=OFF

echo "== native build and tests"
configure_and_build build/native ALL -DCRTELV_TESTS=ON -DCRTELV_BENCH=ON
run_tests build/native

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
configure_and_build build/sanitize ALL -DCRTELV_TESTS=ON -DCRTELV_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_tests build/sanitize

echo "== threaded suites under ThreadSanitizer"
configure_and_build build/tsan "support_tests sim_tests provider_tests engine_tests" \
  -DCRTELV_TESTS=ON -DCRTELV_TSAN=ON -DCRTELV_OPENSSL_PROVIDER=OFF
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  run_tests build/tsan -R '^(support_tests|sim_tests|provider_.*|engine_tests)$' -E '^provider_alloc$'

echo "== fuzz targets, a short run each"
bash scripts/fuzz.sh "${CRTELV_FUZZ_SECONDS:-10}"

echo "test.sh: the native stages took $(( $(date +%s) - CRTELV_TEST_START )) s"
if [ "$win32" = 1 ]; then
  echo "== Windows build and tests under Wine"
  bash scripts/win32.sh test
else
  echo "== Windows suites: not run (--native asks for the native stages only)"
fi
