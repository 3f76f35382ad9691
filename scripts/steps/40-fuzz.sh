#!/usr/bin/env bash
# Builds every libFuzzer target with clang-14 and runs each for a fixed time on
# a scratch copy of its seed corpus. Any crash, leak, timeout or sanitizer
# report fails the step. QPR_FUZZ_SECONDS overrides the time per fuzzer.
# Findings are kept in <build>/findings/<name>/.
set -euo pipefail
cd "$(dirname "$0")/../.."
echo "== fuzz"
seconds=${QPR_FUZZ_SECONDS:-30}
build=${QPR_FUZZ_BUILD:-build/fuzz}  # a developer may point it elsewhere

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQPR_WERROR=ON -DQPR_BUILD_FUZZ=ON -DQPR_BUILD_TESTS=OFF -DQPR_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

shopt -s nullglob
fuzzers=("$build"/fuzzers/fuzz_*)
if [ ${#fuzzers[@]} -eq 0 ]; then
  echo "no fuzzer was built"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings="$build/findings"
rm -rf "$findings"
# Each fuzzer is one process on one core: as many run at once as there are
# cores, each for its full time.
run_fuzzer() {  # program, name, log
  local exe=$1 name=$2 log=$3 corpus="$work/corpus-$2"
  mkdir -p "$corpus" "$findings/$name"
  # The run adds inputs to its corpus: it works on a copy, never on the repository's.
  if [ -d "fuzz/corpus/$name" ]; then cp -R "fuzz/corpus/$name/." "$corpus/"; fi
  local args=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1
              -artifact_prefix="$findings/$name/")
  if [ -f "fuzz/$name.dict" ]; then args+=(-dict="fuzz/$name.dict"); fi
  "$exe" "${args[@]}" "$corpus" >"$log" 2>&1
}
names=()
declare -A pid=()
for exe in "${fuzzers[@]}"; do
  [ -x "$exe" ] || continue
  name=$(basename "$exe"); name=${name#fuzz_}
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
  run_fuzzer "$exe" "$name" "$work/$name.log" &
  pid[$name]=$!
  names+=("$name")
done

status=0
for name in "${names[@]}"; do
  log="$work/$name.log"
  if wait "${pid[$name]}"; then result=ok; else result=FAILED; status=1; fi
  execs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
  rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$log")
  echo "fuzz_$name: ${execs:-?} executions, ${rate:-?} exec/s, $result"
  if [ "$result" != ok ]; then
    tail -n 60 "$log"
    echo "inputs that failed: $(ls "$findings/$name")"
  fi
done
exit $status
