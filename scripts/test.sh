#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything with warnings as errors
# and runs every test suite. This is the command CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/install-deps.sh

echo "== native build and tests"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPR_WERROR=ON
cmake --build build/native -j"$jobs"
(cd build/native && ctest --output-on-failure -j"$jobs")
