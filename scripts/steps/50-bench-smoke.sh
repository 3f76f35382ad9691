#!/usr/bin/env bash
# Benchmark smoke test: builds the benchmark program in the native build folder
# (only its own sources are new there) and runs every benchmark briefly. Fails
# when the plug-in's own code allocates on the heap in a steady-state round,
# value query, decoder call or cache restore, or when a benchmark fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
echo "== bench smoke"
build=${QPR_BENCH_SMOKE_BUILD_DIR:-build/native}

# The summary's arithmetic, on hand-made inputs.
bash bench/check_scripts.sh

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPR_WERROR=ON -DQPR_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target qpr_bench

report=$(mktemp)
trap 'rm -f "$report"' EXIT
status=0
"$build/bench/qpr_bench" --benchmark_min_time=0.01 | tee "$report" || status=$?
if [ "$status" -ne 0 ]; then
  echo "bench smoke: qpr_bench exited with $status (1: the plug-in allocates in steady state)"
  exit 1
fi
# The check must have run and found nothing: its last line says so.
if ! grep -qx 'plug-in allocations in steady state: 0' "$report"; then
  echo "bench smoke: the allocation check did not report"
  exit 1
fi
if grep -q 'ERROR OCCURRED' "$report"; then
  echo "bench smoke: a benchmark failed"
  exit 1
fi
