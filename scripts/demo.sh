#!/usr/bin/env bash
# Builds the library and the demo host, which drives it through its exports
# only, and runs it. Builds nothing else (no tests, no benchmarks) and keeps
# a build folder of its own, build/demo. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCRTELV_TESTS=OFF -DCRTELV_BENCH=OFF -DCRTELV_OPENSSL_PROVIDER=OFF >/dev/null
cmake --build build/demo --target demo_host -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
./build/demo/examples/demo_host ./build/demo/libcr_telv.so
