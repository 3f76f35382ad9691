#!/usr/bin/env bash
# Long fuzz runs outside CI, one fuzzer at a time and at low priority: each
# named fuzzer (default: all) runs SECONDS (default 3600) on a corpus kept in
# build/fuzz-long/corpus-NAME between runs, seeded from fuzz/corpus/NAME.
# Findings go to build/fuzz-long/findings-NAME/; the totals of every run so far
# are appended to build/fuzz-long/totals.txt.
# Usage: scripts/fuzz-long.sh [SECONDS [NAME...]]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3600}
shift || true
build=build/fuzz
out=build/fuzz-long

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQPR_WERROR=ON -DQPR_BUILD_FUZZ=ON -DQPR_BUILD_TESTS=OFF -DQPR_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for exe in "$build"/fuzzers/fuzz_*; do names+=("$(basename "$exe" | sed 's/^fuzz_//')"); done
fi
mkdir -p "$out"
status=0
for name in "${names[@]}"; do
  corpus="$out/corpus-$name"
  mkdir -p "$corpus" "$out/findings-$name"
  if [ -d "fuzz/corpus/$name" ]; then cp -Rn "fuzz/corpus/$name/." "$corpus/"; fi
  args=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1 -artifact_prefix="$out/findings-$name/")
  if [ -f "fuzz/$name.dict" ]; then args+=(-dict="fuzz/$name.dict"); fi
  log="$out/$name-$(date +%Y%m%d-%H%M%S).log"
  result=ok
  nice -n 10 "$build/fuzzers/fuzz_$name" "${args[@]}" "$corpus" >"$log" 2>&1 || { result=FAILED; status=1; }
  execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
  rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$log")
  line="fuzz_$name: ${execs:-?} executions, ${rate:-?} exec/s, $seconds s, $result"
  echo "$line" | tee -a "$out/totals.txt"
  if [ "$result" != ok ]; then tail -n 40 "$log"; fi
done
awk '{n[$1] += $2} END {for (k in n) print "total " k " " n[k] " executions"}' "$out/totals.txt"
exit $status
