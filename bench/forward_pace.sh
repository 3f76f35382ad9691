#!/usr/bin/env bash
# Round pace of the runner against the simulator on a paced serial-speed line,
# directly and through qpr2427k-host --forward, in one run: the forwarder
# passes bytes on as they come, so the pace through it should stay within a
# few per cent of the direct line's.
#
#   bench/forward_pace.sh HOST SIM LINE_PACE OUT_DIR ROUNDS BAUD BITS_PER_BYTE [PAIRS]
#
# The controller reaches the line through socat in both runs: directly a
# qpr_line_pace relay to the simulator; forwarded, the forwarder's line A
# (socat joining two listening ends), whose line B is such a relay. PAIRS (default 3) pairs of runs, direct then
# forwarded; of the median pair by forwarded/direct it prints: direct
# pace/floor, forwarded pace/floor, forwarded/direct, then the range of the
# ratio over the pairs, the rounds counted (direct, forwarded) and the
# time-outs and rejected replies of all runs.
set -euo pipefail
host=$1 sim=$2 line_pace=$3 out=$4 rounds=$5 baud=$6 bits=$7 pairs=${8:-3}
byte_s=$(awk -v b="$bits" -v r="$baud" 'BEGIN { printf "%.9f", b / r }')
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
trap cleanup EXIT
listening() {  # port: waits until something listens on it, without connecting
  for _ in $(seq 100); do
    ss -Hltn "sport = :$1" | grep -q . && return 0
    sleep 0.05
  done
  echo "forward_pace: nothing listens on $1" >&2
  return 1
}
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# A paced line to the simulator for one client: its port in line_port.
paced_line() {
  "$line_pace" --connect "127.0.0.1:$sim_port" --baud "$baud" --bits-per-byte "$bits" >"$out/$1.log" 2>&1 &
  pids+=($!)
  line_port=$(wait_for_port "$out/$1.log")
}
pace_ms=20  # the runner's default reply pause
pace() { awk -v byte="$byte_s" -v pause="$pace_ms" -f bench/round_pace.awk "$1"; }
run_host() {  # port, events file
  "$host" --port "$1" --config bench/reference-site.json --rounds "$rounds" --no-round-wait --quiet \
    --timeout-ms 5000 --duration 600 --events "$2" >/dev/null
}

"$sim" --listen 127.0.0.1:0 --scenario bench/reference-scenario.json 2>"$out/forward-sim.log" &
pids+=($!)
sim_port=$(wait_for_port "$out/forward-sim.log")

# One pair of runs: direct, then through the forwarder; prints their pace/floor,
# rounds and faults.
pair() {
  local k=$1 joiner forwarder controller_port forwarder_port
  controller_port=$(free_port)
  forwarder_port=$(free_port)
  # The controller reaches the line through socat in both runs, so that the
  # forwarder is the only difference. nodelay: socat's small writes must not
  # wait for the other side's delayed ACK.
  paced_line "forward-line-direct-$k"
  socat "TCP-LISTEN:$controller_port,bind=127.0.0.1,reuseaddr,nodelay" "TCP:127.0.0.1:$line_port,nodelay" &
  joiner=$!
  pids+=($joiner)
  listening "$controller_port"
  run_host "tcp:127.0.0.1:$controller_port" "$out/forward-direct-$k.jsonl"
  wait "$joiner" 2>/dev/null || true
  socat "TCP-LISTEN:$controller_port,bind=127.0.0.1,reuseaddr,nodelay" \
    "TCP-LISTEN:$forwarder_port,bind=127.0.0.1,reuseaddr,nodelay" &
  joiner=$!
  pids+=($joiner)
  listening "$controller_port"
  paced_line "forward-line-system-$k"
  "$host" --forward "tcp:127.0.0.1:$forwarder_port" "tcp:127.0.0.1:$line_port" --reopen-ms 10 --quiet \
    --events "$out/forward-frames-$k.jsonl" >"$out/forward-view-$k.txt" 2>&1 &
  forwarder=$!
  pids+=($forwarder)
  run_host "tcp:127.0.0.1:$controller_port" "$out/forward-through-$k.jsonl"
  kill -INT "$forwarder"
  wait "$forwarder" || { echo "forward_pace: the forwarder did not end cleanly" >&2; exit 1; }
  kill "$joiner" 2>/dev/null || true
  wait "$joiner" 2>/dev/null || true
  read -r direct _ direct_n direct_faults < <(pace "$out/forward-direct-$k.jsonl")
  read -r through _ through_n through_faults < <(pace "$out/forward-through-$k.jsonl")
  echo "$direct $through $direct_n $through_n $((direct_faults + through_faults))"
}

for k in $(seq "$pairs"); do pair "$k"; done >"$out/forward-pairs.txt"
# The median pair by its ratio (a busy machine moves single runs by a few per cent).
sort -n -k1,1 <(awk '{ printf "%.4f %s\n", $2 / $1, $0 }' "$out/forward-pairs.txt") |
  awk -v n="$pairs" '{ r[NR] = $0; faults += $6; lo = (NR == 1 ? $1 : lo); hi = $1 }
    END { split(r[int((n + 1) / 2)], m, " "); printf "%s %s %s %s..%s %s %s %d\n", m[2], m[3], m[1], lo, hi, m[4], m[5], faults }'
