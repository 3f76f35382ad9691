#!/usr/bin/env bash
# Takes the README's screenshots of the status page: a simulator on loopback
# whose mains fail after a minute of rounds (a fuse blows and module 2 faults
# too), the runner polling it fast with the example labels, then
# screenshots.mjs, which kills the simulator for the line-down ones.
# Usage: tests/tools/browser/screenshots.sh BUILD_DIR [FOLDER]   (default: the page's folder)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: screenshots.sh BUILD_DIR [FOLDER]}
folder=${2:-$here/../../../tools/host/outputs/http/page}
work=$(mktemp -d)
trap 'kill $host $sim 2>/dev/null || true; rm -rf "$work"' EXIT
cat >"$work/scenario.json" <<'JSON'
{ "seed": 2, "ac": [ { "channels": 1 }, { "channels": 1, "current": 6 } ], "rectifier": { "modules": 3 },
  "dc": [ { "fuses": 64, "status_bytes": 20 } ],
  "events": [ { "type": "mains_failure", "round": 500, "until_round": 100000 },
              { "type": "fuse_blown", "dc": 0, "fuse": 3, "round": 520 },
              { "type": "module_fault", "module": 2, "kind": "fault", "round": 540, "until_round": 100000 } ] }
JSON
"$build/tools/qpr2427k-sim" --listen 127.0.0.1:0 --scenario "$work/scenario.json" 2>"$work/sim.txt" &
sim=$!
for _ in $(seq 100); do grep -q "listening on" "$work/sim.txt" && break; sleep 0.1; done
sim_port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim.txt")
http_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$build/tools/host/qpr2427k-host" --port "tcp:127.0.0.1:$sim_port" --site "site-1" --labels "$here/../../../examples/labels.json" \
  --no-round-wait --reply-pause-ms 0 \
  --poll-ms 100 --http "127.0.0.1:$http_port" --quiet >"$work/host.txt" 2>&1 &
host=$!
for _ in $(seq 100); do curl -sf -o /dev/null "http://127.0.0.1:$http_port/api/v1/status" && break; sleep 0.1; done
timeout 400 node "$here/screenshots.mjs" "http://127.0.0.1:$http_port/" "$folder" "$sim"
