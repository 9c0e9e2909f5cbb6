#!/usr/bin/env bash
# Builds the library and runs the demo host, which drives it through its
# exports only. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
./build/native/examples/demo_host ./build/native/libcr_telv.so
