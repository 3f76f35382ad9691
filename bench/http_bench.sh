#!/usr/bin/env bash
# The HTTP endpoint under load: the runner polls the reference system with
# --http and --events; CLIENTS curl clients (at nice 19, one kept-alive
# connection each) fetch /metrics REQUESTS times each, then /api/v1/status.
# The round pace comes from the events of the rounds that began and ended
# inside a window: a quiet one before the load, the load's, a quiet one after
# (the machine's own drift). Prints one line:
#   RPS_METRICS FAILED_METRICS RPS_STATUS FAILED_STATUS
#   PACE_BEFORE ROUNDS_BEFORE PACE_LOADED WORST_LOADED ROUNDS_LOADED PACE_AFTER ROUNDS_AFTER
#   bench/http_bench.sh HOST_EXE OUT_DIR CLIENTS REQUESTS PAUSE_MS
set -euo pipefail
host_exe=$1 out=$2 clients=$3 requests=$4 pause_ms=$5
cd "$(dirname "$0")/.."
mkdir -p "$out"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
events=$out/http-events.jsonl
"$host_exe" --simulate bench/reference-scenario.json --config bench/reference-site.json --no-round-wait --quiet \
  --reply-pause-ms "$pause_ms" --http "127.0.0.1:$port" --events "$events" --duration 600 >"$out/http-host.txt" 2>&1 &
host=$!
trap 'kill "$host" 2>/dev/null; wait "$host" 2>/dev/null; true' EXIT
for _ in $(seq 100); do curl -sf -o /dev/null "http://127.0.0.1:$port/metrics" && break; sleep 0.1; done

now_ms() { date +%s%3N; }
window_pace() {  # from to (ms): pace, worst round, rounds
  awk -v a="$1" -v b="$2" '{ t = $0; sub(/.*"t":/, "", t); sub(/}.*/, "", t); if (t + 0 >= a && t + 0 <= b) print }' \
    "$events" | awk -v byte=0 -v pause="$pause_ms" -f bench/round_pace.awk | cut -d' ' -f1-3
}
load_run() {  # path: requests per second, failed requests
  local start end c n=$((clients * requests))
  rm -f "$out"/http-codes-*.txt
  start=$(date +%s.%N)
  for c in $(seq "$clients"); do
    # The query string makes curl's URL range; the runner ignores it.
    nice -n 19 curl -s -w '%{stderr}%{http_code}\n' "http://127.0.0.1:$port$1?[1-$requests]" \
      >/dev/null 2>"$out/http-codes-$c.txt" &
  done
  wait $(jobs -p | grep -vx "$host")
  end=$(date +%s.%N)
  awk -v n="$n" -v a="$start" -v b="$end" 'BEGIN { printf "%.0f ", n / (b - a) }'
  # A request without an answer counts as failed too.
  cat "$out"/http-codes-*.txt | awk -v n="$n" '$1 != 200 { bad++ } END { print bad + (n > NR ? n - NR : 0) }'
}
quiet=10
b0=$(now_ms); sleep "$quiet"; b1=$(now_ms)
read -r rps_metrics failed_metrics < <(load_run /metrics)
read -r rps_status failed_status < <(load_run /api/v1/status)
l1=$(now_ms)
sleep "$quiet"; a1=$(now_ms)
kill -TERM "$host"; wait "$host" || true  # the events file is complete once the runner has ended
trap - EXIT
read -r pace_before _ n_before < <(window_pace "$b0" "$b1")
read -r pace_loaded worst_loaded n_loaded < <(window_pace "$b1" "$l1")
read -r pace_after _ n_after < <(window_pace "$l1" "$a1")
echo "$rps_metrics $failed_metrics $rps_status $failed_status" \
  "$pace_before $n_before $pace_loaded $worst_loaded $n_loaded $pace_after $n_after"
