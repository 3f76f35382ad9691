#!/usr/bin/env bash
# Round pace of the runner against the simulator on a paced serial-speed line,
# directly and through qpr2427k-host --forward, in one run: the forwarder
# passes bytes on as they come, so the pace through it should stay within a
# few per cent of the direct line's.
#
#   bench/forward_pace.sh HOST SIM LINE_PACE OUT_DIR ROUNDS BAUD BITS_PER_BYTE
#
# The controller reaches the forwarder's line A through socat (two listening
# ends joined); line B is a qpr_line_pace relay to the simulator, as the
# direct run's line is. Prints: direct pace/floor, forwarded pace/floor,
# forwarded/direct, rounds counted (direct, forwarded), time-outs and
# rejected replies of both runs.
set -euo pipefail
host=$1 sim=$2 line_pace=$3 out=$4 rounds=$5 baud=$6 bits=$7
byte_s=$(awk -v b="$bits" -v r="$baud" 'BEGIN { printf "%.9f", b / r }')
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT
wait_for_port() {  # file holding "listening on HOST:PORT"
  for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$1" | head -1)
    [ -n "$port" ] && { echo "$port"; return 0; }
    sleep 0.1
  done
  echo "forward_pace: no port in $1" >&2
  return 1
}
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# A paced line to the simulator for one client: its port.
paced_line() {
  "$line_pace" --connect "127.0.0.1:$sim_port" --baud "$baud" --bits-per-byte "$bits" >"$out/$1.log" 2>&1 &
  pids+=($!)
  wait_for_port "$out/$1.log"
}
pace_ms=20  # the runner's default reply pause
pace() { awk -v byte="$byte_s" -v pause="$pace_ms" -f bench/round_pace.awk "$1"; }
run_host() {  # port, events file
  "$host" --port "$1" --config bench/reference-site.json --rounds "$rounds" --no-round-wait --quiet \
    --timeout-ms 5000 --events "$2" >/dev/null
}

"$sim" --listen 127.0.0.1:0 --scenario bench/reference-scenario.json 2>"$out/forward-sim.log" &
pids+=($!)
sim_port=$(wait_for_port "$out/forward-sim.log")

direct_port=$(paced_line forward-line-direct)
run_host "tcp:127.0.0.1:$direct_port" "$out/forward-direct.jsonl"

controller_port=$(free_port)
forwarder_port=$(free_port)
socat "TCP-LISTEN:$controller_port,bind=127.0.0.1,reuseaddr" "TCP-LISTEN:$forwarder_port,bind=127.0.0.1,reuseaddr" &
pids+=($!)
system_port=$(paced_line forward-line-system)
"$host" --forward "tcp:127.0.0.1:$forwarder_port" "tcp:127.0.0.1:$system_port" --reopen-ms 10 --quiet \
  --events "$out/forward-frames.jsonl" >"$out/forward-view.txt" 2>&1 &
forwarder=$!
pids+=($forwarder)
run_host "tcp:127.0.0.1:$controller_port" "$out/forward-through.jsonl"
kill -INT "$forwarder"
wait "$forwarder" || { echo "forward_pace: the forwarder did not end cleanly" >&2; exit 1; }

read -r direct _ direct_n direct_faults < <(pace "$out/forward-direct.jsonl")
read -r through _ through_n through_faults < <(pace "$out/forward-through.jsonl")
ratio=$(awk -v a="$through" -v b="$direct" 'BEGIN { printf "%.4f", a / b }')
echo "$direct $through $ratio $direct_n $through_n $((direct_faults + through_faults))"
