#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds the plug-in and the tools, and runs
# the host runner against the built-in simulator until Ctrl-C.
# Usage: scripts/run-demo.sh [SCENARIO] [runner options...]
#   SCENARIO defaults to examples/scenarios/mains-failure.json (mains fails at
#   round 3, a fuse blows at round 4, a module faults at round 5).
#   Example: scripts/run-demo.sh examples/scenarios/line-faults.json --rounds 10
set -euo pipefail
cd "$(dirname "$0")/.."

scenario=examples/scenarios/mains-failure.json
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then scenario=$1; shift; fi

scripts/install-deps.sh --native-only
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPR_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" --target qpr2427k qpr2427k-host qpr2427k-sim
echo "== qpr2427k-host against the simulator ($scenario); plug-in trace lines in build/demo/trace.txt"
exec build/demo/tools/host/qpr2427k-host --config examples/site.json --simulate "$scenario" \
  --trace build/demo/trace.txt "$@"
