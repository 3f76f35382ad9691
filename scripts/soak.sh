#!/usr/bin/env bash
# The long robustness runs that CI runs only briefly: the soak program over
# ROUNDS rounds in one process (default 200000; resident memory at the start
# and the end, no growth allowed), then the line-fault run with every fault of
# the simulator over FAULT_ROUNDS rounds (default 20000). Native build in
# build/robust (QPR_SOAK_BUILD_DIR overrides). Usage: scripts/soak.sh [ROUNDS [FAULT_ROUNDS]]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-200000}
fault_rounds=${2:-20000}
build=${QPR_SOAK_BUILD_DIR:-build/robust}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPR_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target qpr_soak robust_tests

echo "== soak: $rounds rounds"
start=$(date +%s)
"$build/tests/robust/qpr_soak" --rounds "$rounds"
echo "soak took $(( $(date +%s) - start )) s"

echo "== line faults: $fault_rounds rounds"
start=$(date +%s)
QPR_FAULT_ROUNDS=$fault_rounds "$build/tests/robust/robust_tests" \
  --gtest_filter='FaultInjection.*' --gtest_brief=1 | grep -E '^\[(figures|  PASSED|  FAILED)'
echo "line faults took $(( $(date +%s) - start )) s"
