#!/usr/bin/env bash
# Builds the library, the open provider with its tool, and the demo host, and
# runs the demo: a CA and two parties made with cpki1-tool in a temporary
# folder, and the whole job done through the library's exports. Builds nothing
# else (no tests, no benchmarks) and keeps a build folder of its own,
# build/demo. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCRTELV_TESTS=OFF -DCRTELV_BENCH=OFF -DCRTELV_OPENSSL_PROVIDER=ON >/dev/null
cmake --build build/demo --target cr_telv cpki1_openssl cpki1-tool demo_host \
  -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
./build/demo/examples/demo_host ./build/demo/libcr_telv.so ./build/demo/providers/openssl \
  ./build/demo/providers/openssl/cpki1-tool
