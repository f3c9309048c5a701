#!/usr/bin/env bash
# Installs what is missing, builds Kestrel with its tests and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_BUILD_TESTS=ON -DKESTREL_BUILD_BENCH=ON
cmake --build build
ctest --test-dir build --output-on-failure -j2
