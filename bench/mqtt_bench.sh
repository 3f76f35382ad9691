#!/usr/bin/env bash
# The MQTT exporter's cost: the runner polls the reference system with the
# reply pause at 0, once without and once with --mqtt to a mosquitto broker
# this script starts on a free loopback port (and stops). Prints one line:
#   CPU_ON_OFF_RATIO LATENCY_MEDIAN_MS LATENCY_P99_MS LATENCY_COUNT PACE_ON_OFF_RATIO LATENCY_MAX_MS
# CPU time is the runner's user+system time per round (the built-in simulator
# runs in the same process, in both runs); latency is from a round's end (the
# state's "t", the same as its round event's, in whole ms: up to 1 ms of each
# figure is that truncation) to the state message's arrival at a subscriber
# (bench/state_latency.awk), over every state of the three runs with MQTT;
# pace is the round period from the round events (bench/round_period.awk:
# round end to round end, so that the exporter's work between rounds counts).
# The runs alternate, off then on, three times each, and the CPU and pace
# figures are the medians of their three, so that other load on the machine
# weighs on both sides alike. The broker sets TCP_NODELAY on its sockets
# (set_tcp_nodelay): at mosquitto's default a round's second and later states
# wait in the broker's kernel for the subscriber's acknowledgement of the
# first, which the subscriber may delay by up to 40 ms; that is the broker's
# setting, not the runner's cost. QPR_BENCH_MQTT_BROKER_NAGLE=1 measures with
# the default.
#   bench/mqtt_bench.sh HOST_EXE OUT_DIR ROUNDS
set -euo pipefail
host_exe=$1 out=$2 rounds=$3
cd "$(dirname "$0")/.."
mkdir -p "$out"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
conf=$out/mqtt-bench.conf
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$conf"
[ "$(id -u)" = 0 ] && echo "user root" >>"$conf"
[ "${QPR_BENCH_MQTT_BROKER_NAGLE:-0}" = 1 ] || echo "set_tcp_nodelay true" >>"$conf"
mosquitto -c "$conf" >"$out/mqtt-broker.log" 2>&1 &
broker=$!
sub=""
cleanup() {
  [ -n "$sub" ] && kill "$sub" 2>/dev/null && wait "$sub" 2>/dev/null
  kill "$broker" 2>/dev/null && wait "$broker" 2>/dev/null
  return 0
}
trap cleanup EXIT
for _ in $(seq 100); do
  mosquitto_pub -h 127.0.0.1 -p "$port" -t bench/probe -m up 2>/dev/null && break
  sleep 0.05
done
stdbuf -oL mosquitto_sub -h 127.0.0.1 -p "$port" -t 'qpr2427k/bench/unit/+/state' -F '%U %p' \
  >"$out/mqtt-states.txt" &
sub=$!
sleep 0.5  # the subscription is made before the run starts

run() {  # name, extra options: prints user+system seconds
  local TIMEFORMAT='%U %S'
  { time "$host_exe" --simulate bench/reference-scenario.json --config bench/reference-site.json \
      --rounds "$rounds" --no-round-wait --reply-pause-ms 0 --poll-ms 1 --quiet --events "$out/mqtt-$1.jsonl" \
      "${@:2}" >/dev/null 2>"$out/mqtt-$1.err"; } 2>&1 | awk 'NF { s = $1 + $2 } END { print s / rounds }' rounds="$rounds"
}
round_period() { awk -f bench/round_period.awk "$1" | cut -d' ' -f1; }
median3() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
cpu_off=() cpu_on=() pace_off=() pace_on=()
for k in 1 2 3; do
  cpu_off+=("$(run "off-$k")")
  pace_off+=("$(round_period "$out/mqtt-off-$k.jsonl")")
  cpu_on+=("$(run "on-$k" --mqtt "mqtt://127.0.0.1:$port" --site bench)")
  pace_on+=("$(round_period "$out/mqtt-on-$k.jsonl")")
done
sleep 0.5
kill "$sub"
wait "$sub" 2>/dev/null || true
sub=""

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }'; }
pace=$(ratio "$(median3 "${pace_on[@]}")" "$(median3 "${pace_off[@]}")")
cpu=$(ratio "$(median3 "${cpu_on[@]}")" "$(median3 "${cpu_off[@]}")")
read -r median p99 max count < <(awk -f bench/state_latency.awk "$out/mqtt-states.txt" | sort -g |
  tee "$out/mqtt-latency.txt" | awk -f bench/percentiles.awk)
echo "$cpu $median $p99 $count $pace $max"
