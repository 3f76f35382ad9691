#!/usr/bin/env bash
# Native build (warnings are errors) and the whole test suite; a process a
# test leaves running fails it (scripts/run-ctest.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."
echo "== native build and tests"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPR_WERROR=ON
cmake --build build/native -j"$(nproc)"
scripts/run-ctest.sh build/native --output-on-failure -j"$(nproc)"
