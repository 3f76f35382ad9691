#!/usr/bin/env bash
# Native build (warnings are errors) and the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/../.."
echo "== native build and tests"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPR_WERROR=ON
cmake --build build/native -j"$(nproc)"
(cd build/native && ctest --output-on-failure -j"$(nproc)")
