#!/usr/bin/env bash
# The whole test suite built with clang-14 twice: under address and
# undefined-behaviour checks, then under the thread checker.
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs=$(nproc)

run_suite() {  # build folder, sanitizer list
  local build=$1 sanitize=$2
  echo "== sanitizers: $sanitize"
  CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQPR_WERROR=ON -DQPR_SANITIZE="$sanitize" >/dev/null
  cmake --build "$build" -j"$jobs"
  (cd "$build" && ctest --output-on-failure -j"$jobs")
}

export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build/asan address,undefined

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
run_suite build/tsan thread
