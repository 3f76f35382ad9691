#!/usr/bin/env bash
# Round pace with every output on against none: the runner polls the reference
# system (reply pause PAUSE_MS) once with only its --events file (which the
# pace is read from, so it is on in both runs) and once with the events file,
# the cache file, --mqtt to a mosquitto broker this script starts on a free
# loopback port (with a subscriber to every topic) and --http with a scraper
# (curl fetching /metrics and /api/v1/status, 10 requests/s each). The runs
# alternate, off then on, PAIRS times. A run's pace is its round period
# (bench/round_period.awk: round end to round end, so that what the outputs do
# on the poll loop between two rounds counts). Prints one line:
#   RATIO_MEDIAN RATIO_MIN RATIO_MAX PERIOD_OFF_MS PERIOD_ON_MS
# (ratios on/off of each pair; periods: the medians over the runs).
#   bench/outputs_pace.sh HOST_EXE OUT_DIR ROUNDS PAUSE_MS PAIRS
set -euo pipefail
host_exe=$1 out=$2 rounds=$3 pause_ms=$4 pairs=$5
cd "$(dirname "$0")/.."
source bench/lib.sh
mkdir -p "$out"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
mport=$(free_port)
conf=$out/outputs-broker.conf
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$mport" >"$conf"
[ "$(id -u)" = 0 ] && echo "user root" >>"$conf"
mosquitto -c "$conf" >"$out/outputs-broker.log" 2>&1 &
pids=($!)
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do
  mosquitto_pub -h 127.0.0.1 -p "$mport" -t bench/probe -m up 2>/dev/null && break
  sleep 0.05
done
mosquitto_sub -h 127.0.0.1 -p "$mport" -t 'qpr2427k/#' -t 'homeassistant/#' >/dev/null &
pids+=($!)

run() {  # name, extra options
  "$host_exe" --simulate bench/reference-scenario.json --config bench/reference-site.json --rounds "$rounds" \
    --no-round-wait --reply-pause-ms "$pause_ms" --poll-ms 1 --quiet --events "$out/outputs-$1.jsonl" "${@:2}" \
    >/dev/null 2>"$out/outputs-$1.err"
}
run_on() {  # name
  local hport scrapers=() p
  hport=$(free_port)
  run "$1" --save-cache "$out/outputs-$1-cache.json" --mqtt "mqtt://127.0.0.1:$mport" --site bench \
    --http "127.0.0.1:$hport" &
  local host=$!
  # The scrapers start once the endpoint answers and end with the run (at most 3000 requests each).
  for _ in $(seq 200); do curl -sf -o /dev/null "http://127.0.0.1:$hport/metrics" && break; sleep 0.01; done
  for path in /metrics /api/v1/status; do
    curl -s --rate 10/s -o /dev/null "http://127.0.0.1:$hport$path?[1-3000]" 2>/dev/null &
    scrapers+=($!)
  done
  wait "$host"
  for p in "${scrapers[@]}"; do kill "$p" 2>/dev/null || true; done
  wait "${scrapers[@]}" 2>/dev/null || true
}
on_off_pairs "$out/outputs" "$pairs"
printf '%s\n' "$pairs_summary"
