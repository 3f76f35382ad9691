#!/usr/bin/env bash
# The whole test suite twice more: built with clang-14 under the address and
# undefined-behaviour checkers, then under the thread checker.
# The thread pass uses gcc: clang-14's static thread runtime defines operator
# new itself, which clashes with the test programs that count allocations by
# replacing it, and its shared runtime does not start on this platform. gcc's
# runtime is a shared library, so a program's own operator new takes over.
set -euo pipefail
cd "$(dirname "$0")/../.."
jobs=$(nproc)

run_suite() {  # build folder, C compiler, C++ compiler, sanitizer list
  local build=$1 cc=$2 cxx=$3 sanitize=$4
  echo "== sanitizers: $sanitize ($cxx)"
  CC=$cc CXX=$cxx cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQPR_WERROR=ON -DQPR_SANITIZE="$sanitize" >/dev/null
  cmake --build "$build" -j"$jobs"
  scripts/run-ctest.sh "$build" --output-on-failure -j"$jobs"
}

export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build/asan clang-14 clang++-14 address,undefined

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
run_suite build/tsan gcc g++ thread
