#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a fixed time.
#   scripts/fuzz.sh                 every target for 10 s (the test command's short run)
#   scripts/fuzz.sh 3600            every target for an hour (the long run)
#   scripts/fuzz.sh 600 base64_fuzz one target
# Each run starts from the seeds in fuzz/corpus/<name> and keeps what it finds
# in build/fuzz/corpus/<name>; a crash leaves its input in build/fuzz/crashes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-10}
shift || true
build=$root/build/fuzz
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -gt 2 ] && jobs=2

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCRTELV_FUZZ=ON -DCRTELV_WERROR=ON \
  -DCRTELV_TESTS=OFF -DCRTELV_OPENSSL_PROVIDER="${CRTELV_FUZZ_OPENSSL:-ON}" >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$build"/fuzz/*_fuzz; do targets+=("$(basename "$f")"); done
fi
mkdir -p "$build/crashes"
status=0
for t in "${targets[@]}"; do
  name=${t%_fuzz}
  corpus=$build/corpus/$name
  mkdir -p "$corpus"
  [ -d "fuzz/corpus/$name" ] && cp -n "fuzz/corpus/$name"/* "$corpus"/ 2>/dev/null || true
  echo "== $t for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$build/fuzz/$t" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/crashes/$name-" "$corpus" >"$build/$name.log" 2>&1; then
    echo "fuzz.sh: $t failed; see $build/$name.log and $build/crashes" >&2
    tail -n 30 "$build/$name.log" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units' "$build/$name.log" || true
  fi
done
exit $status
