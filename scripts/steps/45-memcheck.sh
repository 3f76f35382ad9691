#!/usr/bin/env bash
# A short run under valgrind memcheck on the native build: the soak program,
# then the robustness tests (settings and cache tables, line faults over a
# shorter run). Any memory error, or a definite or indirect leak, fails it.
set -euo pipefail
cd "$(dirname "$0")/../.."
echo "== memcheck"
build=${QPR_MEMCHECK_BUILD_DIR:-build/native}
start=$(date +%s)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPR_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target qpr_soak robust_tests

# shellcheck disable=SC2054  # the commas are valgrind's
vg=(valgrind --quiet --error-exitcode=1 --leak-check=full
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect)
soak_log=$(mktemp)
log=$(mktemp)
trap 'rm -f "$soak_log" "$log"' EXIT
# Valgrind runs a program on one core: the two runs go side by side.
# Under valgrind the resident size is valgrind's own: scripts/soak.sh judges growth.
"${vg[@]}" "$build/tests/robust/qpr_soak" --rounds 300 --max-growth-kib -1 >"$soak_log" 2>&1 &
soak=$!
# The decoders' trace lines go to the log; valgrind reports to standard error.
status=0
QPR_FAULT_ROUNDS=100 "${vg[@]}" "$build/tests/robust/robust_tests" --gtest_brief=1 >"$log" || {
  status=1
  grep -v -E '^(a:|rc |parse 42)' "$log" | tail -n 40
}
wait "$soak" || status=1
cat "$soak_log"
if [ "$status" -eq 0 ]; then
  echo "memcheck: no error and no leak ($(( $(date +%s) - start )) s)"
else
  echo "memcheck: FAILED"
fi
exit "$status"
