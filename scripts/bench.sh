#!/usr/bin/env bash
# Measures the plug-in on the reference system and prints one summary table:
# heap allocations per steady-state round, instructions per round (callgrind)
# and their split, nanoseconds per Get_Value channel-key query, and the pace of
# polling rounds against their floor, with no line delay and at 9600 baud,
# the cost of the MQTT exporter (bench/mqtt_bench.sh: needs mosquitto), the
# round pace with every output on against none (bench/outputs_pace.sh),
# HTTP requests per second on loopback with the round pace with and without them,
# the round pace at 9600 baud through --forward against the direct line's (bench/forward_pace.sh),
# snmpwalk and upsc against the SNMP subagent (under an snmpd it starts) and the
# NUT server with the round pace with both on against neither
# (bench/northbound_bench.sh: needs snmpd, snmp and nut-client),
# the capture decoder on a synthetic capture with a known truth, and the pace
# of 1, 2 and 8 systems sharing one line (bench/multisystem_pace.sh), what a
# silent eighth system costs the seven others (bench/silent_pace.sh), and a
# soak of three systems with wrong-address replies (bench/wrong_address_soak.sh).
#
#   scripts/bench.sh            everything (a few minutes)
#   QPR_BENCH_ROUNDS=N          rounds per pace run (default 12)
#   QPR_BENCH_MQTT_ROUNDS=N     rounds per MQTT run, six runs (default 1000)
#   QPR_BENCH_OUTPUTS_PAIRS=N   off/on pairs of runs for the every-output pace (default 5)
#   QPR_BENCH_HTTP_REQUESTS=N   HTTP requests per client and path (default 20000)
#   QPR_BENCH_WALKS=N           snmpwalk runs per subtree (default 30)
#   QPR_BENCH_UPSC=N            upsc runs (default 200); LIST VAR requests: 25 times that
#   QPR_BENCH_NORTHBOUND_PAIRS=N off/on pairs of runs for the SNMP and NUT pace (default 5)
#   QPR_BENCH_SOAK_ROUNDS=N     rounds of each system in the wrong-address soak (default 10000)
#   QPR_BENCH_CAPTURE_FRAMES=N  frames of the synthetic capture (default 100000)
#   QPR_BENCH_BUILD_DIR=DIR     build folder (default build/bench)
#   QPR_BENCH_OUT=DIR           where the raw results go (default DIR/results)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QPR_BENCH_BUILD_DIR:-build/bench}
rounds=${QPR_BENCH_ROUNDS:-12}
http_clients=4     # HTTP load (bench/http_bench.sh): clients at once, each fetching one path this many times
http_requests=${QPR_BENCH_HTTP_REQUESTS:-20000}
baud=9600
bits_per_byte=10  # 8 data bits, no parity, one stop bit, and the start bit
pause_ms=20       # the engine's pause before each reply is handled

echo "== bench: build ($build)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPR_WERROR=ON -DQPR_BUILD_BENCH=ON \
  -DQPR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target qpr_bench qpr_round_profile qpr_line_pace \
  qpr2427k qpr2427k-host qpr2427k-sim qpr_capture_check
out=${QPR_BENCH_OUT:-$build/results}
mkdir -p "$out"
bin=$build/bench
host_exe=$build/tools/host/qpr2427k-host
sim_exe=$build/tools/qpr2427k-sim

# ---------------------------------------------------------------- allocations and timings
echo "== bench: allocation check and benchmarks"
"$bin/qpr_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_out="$out/benchmarks.json" --benchmark_out_format=json | tee "$out/benchmarks.txt"
# The allocation table's columns: plug-in, host, other (per round).
alloc_row() { awk -v row="$1" 'index($0, row) == 1 { n = split($0, f, " "); print f[n-2], f[n-1] }' "$out/benchmarks.txt"; }
read -r alloc_plugin alloc_host < <(alloc_row "round, replies through process()")
read -r alloc_plugin_direct alloc_host_direct < <(alloc_row "round, replies to process_payload()")
# Median CPU time of a benchmark, from the JSON report.
median_ns() {
  awk -v want="\"$1_median\"" '
    $1 == "\"name\":" { name = $2; sub(/,$/, "", name); next }
    $1 == "\"cpu_time\":" && name == want { v = $2; sub(/,$/, "", v); printf "%.1f\n", v; exit }' \
    "$out/benchmarks.json"
}
ns_channel=$(median_ns Get_Value/channel_key)
ns_phase=$(median_ns Get_Value/phase_key)
us_round=$(median_ns round/through_process)

# ---------------------------------------------------------------- instructions
echo "== bench: instructions per round (valgrind --tool=callgrind)"
profile_rounds=20
profile_queries=1000
for batch in rounds values; do
  valgrind --tool=callgrind --toggle-collect="qpr_profile_$batch" \
    --callgrind-out-file="$out/callgrind-$batch.out" \
    "$bin/qpr_round_profile" "$profile_rounds" "$profile_queries" >/dev/null 2>"$out/callgrind-$batch.log"
done
awk -v per="$profile_rounds" -f bench/callgrind_split.awk "$out/callgrind-rounds.out" >"$out/split-rounds.txt"
awk -v per="$profile_queries" -f bench/callgrind_split.awk "$out/callgrind-values.out" >"$out/split-values.txt"
split_of() { awk -v k="$2" '$1 == k { print $2 }' "$out/split-$1.txt"; }
ir_total=$(split_of rounds total)
ir_decode=$(split_of rounds decoding)
ir_trace=$(split_of rounds decoding_trace)
ir_end=$(split_of rounds round_end)
ir_other=$(split_of rounds plugin_other)
ir_host=$(split_of rounds host)
ir_receive=$(split_of rounds host_receive_path)
ir_value=$(split_of values total)
ir_value_compare=$(split_of values string_compare)
callgrind_annotate --inclusive=yes --threshold=99 "$out/callgrind-rounds.out" >"$out/callgrind-rounds.txt" 2>/dev/null || true

# ---------------------------------------------------------------- round pace
pace_ratio() {  # events file or round view, seconds per wire byte (0: no line delay)
  awk -v byte="$2" -v pause="$pause_ms" -f bench/round_pace.awk "$1"
}

echo "== bench: round pace, no line delay ($rounds rounds)"
# From the round view: the events file is written inside the round and would
# count the runner's own logging; the second run shows how much that is.
"$host_exe" --simulate bench/reference-scenario.json --config bench/reference-site.json \
  --rounds "$rounds" --no-round-wait >"$out/pace-direct.txt"
read -r pace_direct pace_direct_worst pace_direct_n pace_direct_faults < <(pace_ratio "$out/pace-direct.txt" 0)
"$host_exe" --simulate bench/reference-scenario.json --config bench/reference-site.json \
  --rounds "$rounds" --no-round-wait --quiet --events "$out/pace-direct.jsonl"
read -r pace_logged pace_logged_worst pace_logged_n pace_logged_faults < <(pace_ratio "$out/pace-direct.jsonl" 0)
# Every observer of the runner at once: the view, the events file and the cache file.
"$host_exe" --simulate bench/reference-scenario.json --config bench/reference-site.json \
  --rounds "$rounds" --no-round-wait --events "$out/pace-all.jsonl" --save-cache "$out/pace-all-cache.json" \
  >"$out/pace-all.txt"
read -r pace_all pace_all_worst pace_all_n pace_all_faults < <(pace_ratio "$out/pace-all.txt" 0)

echo "== bench: round pace, $baud baud line ($rounds rounds)"
source bench/lib.sh
trap cleanup EXIT
"$sim_exe" --listen 127.0.0.1:0 --scenario bench/reference-scenario.json 2>"$out/sim.log" &
pids+=($!)
sim_port=$(wait_for_port "$out/sim.log")
"$bin/qpr_line_pace" --connect "127.0.0.1:$sim_port" --baud "$baud" --bits-per-byte "$bits_per_byte" \
  >"$out/line.log" 2>&1 &
pids+=($!)
line_port=$(wait_for_port "$out/line.log")
"$host_exe" --port "tcp:127.0.0.1:$line_port" --config bench/reference-site.json --rounds "$rounds" \
  --no-round-wait --quiet --timeout-ms 5000 --events "$out/pace-line.jsonl"
byte_s=$(awk -v b="$bits_per_byte" -v r="$baud" 'BEGIN { printf "%.9f", b / r }')
read -r pace_line pace_line_worst pace_line_n pace_line_faults < <(pace_ratio "$out/pace-line.jsonl" "$byte_s")
cleanup
trap - EXIT

echo "== bench: round pace, $baud baud line, direct and through --forward (3 pairs of $rounds rounds)"
read -r forward_direct forward_through forward_ratio forward_range forward_direct_n forward_through_n forward_faults \
  < <(bash bench/forward_pace.sh "$host_exe" "$sim_exe" "$bin/qpr_line_pace" "$out" "$rounds" "$baud" "$bits_per_byte")

# ---------------------------------------------------------------- MQTT exporter
mqtt_rounds=${QPR_BENCH_MQTT_ROUNDS:-1000}
echo "== bench: MQTT exporter off and on ($mqtt_rounds rounds each, three times)"
read -r mqtt_cpu mqtt_median mqtt_p99 mqtt_n mqtt_pace mqtt_max < <(bash bench/mqtt_bench.sh "$host_exe" "$out" "$mqtt_rounds")
# The same with the broker at its default (Nagle's algorithm on its sockets):
# what a subscriber sees from a broker left as installed.
echo "== bench: MQTT latency with the broker at its default ($mqtt_rounds rounds each, three times)"
read -r _ mqtt_nagle_median mqtt_nagle_p99 mqtt_nagle_n _ mqtt_nagle_max \
  < <(QPR_BENCH_MQTT_BROKER_NAGLE=1 bash bench/mqtt_bench.sh "$host_exe" "$out/broker-default" "$mqtt_rounds")
# ---------------------------------------------------------------- every output
outputs_pairs=${QPR_BENCH_OUTPUTS_PAIRS:-5}
outputs_rounds_paused=40
echo "== bench: every output on / none ($outputs_pairs pairs of $mqtt_rounds rounds at reply pause 0;" \
  "3 pairs of $outputs_rounds_paused at $pause_ms ms)"
read -r outputs_ratio outputs_min outputs_max outputs_off outputs_on \
  < <(bash bench/outputs_pace.sh "$host_exe" "$out/outputs-0" "$mqtt_rounds" 0 "$outputs_pairs")
read -r outputs_paused_ratio outputs_paused_min outputs_paused_max outputs_paused_off outputs_paused_on \
  < <(bash bench/outputs_pace.sh "$host_exe" "$out/outputs-$pause_ms" "$outputs_rounds_paused" "$pause_ms" 3)
# ---------------------------------------------------------------- HTTP load
echo "== bench: HTTP load on loopback ($http_clients clients x $http_requests requests per path)"
read -r rps_metrics fail_metrics rps_status fail_status http_pace_before http_n_before http_pace_loaded \
  http_worst_loaded http_n_loaded http_pace_after http_n_after \
  < <(bash bench/http_bench.sh "$host_exe" "$out" "$http_clients" "$http_requests" "$pause_ms")

# ---------------------------------------------------------------- SNMP and NUT
nb_walks=${QPR_BENCH_WALKS:-30}
nb_upsc=${QPR_BENCH_UPSC:-200}
nb_pairs=${QPR_BENCH_NORTHBOUND_PAIRS:-5}
echo "== bench: SNMP walks and NUT answers on loopback; SNMP and NUT on / neither" \
  "($nb_pairs pairs of $outputs_rounds_paused rounds at $pause_ms ms)"
read -r walks_root slowest_root n_root walks_sensors slowest_sensors n_sensors upsc_rate list_rate \
  nb_ratio nb_min nb_max nb_off nb_on \
  < <(bash bench/northbound_bench.sh "$host_exe" "$out/northbound" "$nb_walks" "$nb_upsc" $((nb_upsc * 25)) \
        "$outputs_rounds_paused" "$pause_ms" "$nb_pairs")

# ---------------------------------------------------------------- capture decoder
capture_frames=${QPR_BENCH_CAPTURE_FRAMES:-100000}
echo "== bench: several systems on one line, pace / sum of floors (N = 1, 2, 8; reply pause $pause_ms ms)"
multi_rows=()
while read -r multi_n multi_ratio multi_ms multi_floor multi_rounds multi_timeouts; do
  multi_rows+=("$multi_n systems: $multi_ratio ($multi_rounds rounds, $multi_timeouts time-outs)")
done < <(bash bench/multisystem_pace.sh "$host_exe" "$out/multisystem" "$rounds" "$pause_ms" 1 2 8)
echo "== bench: seven systems with an eighth answering, silent and absent (time-out 100 ms)"
read -r silent_answering silent_silent silent_absent silent_pace_cost silent_counted \
  < <(bash bench/silent_pace.sh "$host_exe" "$out/silent" 10 0 100)
soak_rounds=${QPR_BENCH_SOAK_ROUNDS:-10000}
echo "== bench: wrong-address soak, three systems x $soak_rounds rounds"
read -r soak_n soak_s soak_readings soak_wrong soak_injected soak_refused soak_late \
  < <(bash bench/wrong_address_soak.sh "$host_exe" "$out/soak" "$soak_rounds")

echo "== bench: capture decoder on a synthetic capture ($capture_frames frames)"
"$bin/qpr_capture_check" "$capture_frames" | tee "$out/capture.txt"
capture_of() { sed -n "s/.*$1 \([0-9.]*%\{0,1\}\).*/\1/p" "$out/capture.txt"; }
capture_intact=$(capture_of "intact decoded")
capture_flagged=$(capture_of "damaged flagged")
capture_extra=$(capture_of "decoded not sent")
capture_paired=$(capture_of "commands paired")
capture_rate=$(sed -n 's/.*, \([0-9]*\) frames\/s.*/\1/p' "$out/capture.txt")

# ---------------------------------------------------------------- summary
machine="$(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), load $(cut -d' ' -f1-3 /proc/loadavg)"
pct() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f%%", 100 * a / b }'; }
echo
echo "== bench summary (reference system: 2 AC units x 3 channels, 1 DC unit with 64 fuses and"
echo "   20 status bytes, 12 rectifier modules, model QPR-37KM, reply pause 0 unless on the line)"
echo "   machine: $machine"
printf '| %-60s | %-26s |\n' "figure" "value"
printf '|%s|%s|\n' "$(printf -- '-%.0s' {1..62})" "$(printf -- '-%.0s' {1..28})"
row() { printf '| %-60s | %-26s |\n' "$1" "$2"; }
row "heap allocations per steady-state round, plug-in's own code" "$alloc_plugin"
row "  host engine, replies through process()" "$alloc_host"
row "  host engine, replies handed to process_payload()" "$alloc_host_direct (plug-in $alloc_plugin_direct)"
row "instructions per steady-state round (10 replies)" "$ir_total"
row "  decoding (10 decoders, trace lines included)" "$ir_decode ($(pct "$ir_decode" "$ir_total"))"
row "    of which the trace lines on standard output" "$ir_trace"
row "  round end: alarm evaluation, stamp, image (plug-in)" "$ir_end ($(pct "$ir_end" "$ir_total"))"
row "  dispatch and command choice (plug-in)" "$ir_other ($(pct "$ir_other" "$ir_total"))"
row "  host share: receive path, framing, services" "$ir_host ($(pct "$ir_host" "$ir_total"))"
row "    of which the engine's receive path" "$ir_receive"
row "instructions per Get_Value channel-key query" "$ir_value"
row "  of which key comparisons (std::string::compare)" "$ir_value_compare"
row "ns per Get_Value channel-key query (median CPU time)" "$ns_channel"
row "ns per Get_Value phase-key query (median CPU time)" "$ns_phase"
row "us per whole round through process() (median CPU time)" "$us_round"
row "round pace / floor, no line delay (worst round)" "$pace_direct ($pace_direct_worst), $pace_direct_n rounds"
row "  the same with the runner's --events log" "$pace_logged ($pace_logged_worst), $pace_logged_n rounds"
row "  the same with every observer (view, events, cache)" "$pace_all ($pace_all_worst), $pace_all_n rounds"
row "round pace / floor, $baud baud line, events log (worst)" "$pace_line ($pace_line_worst), $pace_line_n rounds"
row "round pace, $baud baud: through --forward / direct (aim 1.02)" "$forward_ratio (range $forward_range)"
row "  pace / floor, direct and forwarded; rounds each" "$forward_direct, $forward_through; $forward_direct_n"
row "MQTT on / off, reply pause 0: CPU time per round" "$mqtt_cpu"
row "  round period (pace)" "$mqtt_pace"
row "  round end to state at a subscriber (broker set_tcp_nodelay), median / p99 ms" "$mqtt_median / $mqtt_p99 ($mqtt_n states)"
row "    the slowest state, ms" "$mqtt_max"
row "  the same, broker at its default (Nagle on), median / p99 ms" "$mqtt_nagle_median / $mqtt_nagle_p99 ($mqtt_nagle_n states)"
row "    the slowest state, ms" "$mqtt_nagle_max"
row "every output / none: round period, reply pause 0 (range)" "$outputs_ratio ($outputs_min..$outputs_max)"
row "  ms per round, none / every output" "$outputs_off / $outputs_on"
row "  the same, reply pause $pause_ms ms (range)" "$outputs_paused_ratio ($outputs_paused_min..$outputs_paused_max)"
row "  ms per round, none / every output, reply pause $pause_ms ms" "$outputs_paused_off / $outputs_paused_on"
row "HTTP /metrics, $http_clients clients x $http_requests (req/s, failed)" "$rps_metrics, $fail_metrics failed"
row "HTTP /api/v1/status, $http_clients clients x $http_requests (req/s, failed)" "$rps_status, $fail_status failed"
row "round pace / floor before the HTTP load, during it (worst)" "$http_pace_before, $http_pace_loaded ($http_worst_loaded)"
row "  after it; rounds before, during, after" "$http_pace_after; $http_n_before, $http_n_loaded, $http_n_after"
for multi_row in "${multi_rows[@]}"; do
  row "systems on one line: pace / sum of floors, reply pause $pause_ms ms" "$multi_row"
done
row "7 systems: ms between rounds, 8th answering / silent / absent" "$silent_answering / $silent_silent / $silent_absent"
row "  the silent one's cost in time-outs per cycle: pace; counted" "$silent_pace_cost; $silent_counted"
row "wrong-address soak, 3 systems x $soak_n rounds: s, misattributed" "$soak_s s, $soak_wrong of $soak_readings readings"
row "  wrong-address replies injected; refused by the asker; late" "$soak_injected; $soak_refused; $soak_late"
row "snmpwalk of the QPR2427K-MIB subtree: walks/s (slowest)" "$walks_root ($slowest_root ms), $n_root values"
row "snmpwalk of entPhySensorTable: walks/s (slowest)" "$walks_sensors ($slowest_sensors ms), $n_sensors values"
row "upsc runs per second; LIST VAR per second, one connection" "$upsc_rate; $list_rate"
row "SNMP and NUT / neither: round period, pause $pause_ms ms (range)" "$nb_ratio ($nb_min..$nb_max)"
row "  ms per round, neither / SNMP and NUT" "$nb_off / $nb_on"
row "capture decoder, $capture_frames frames (1 % bytes corrupted):" "$capture_rate frames/s"
row "  intact frames decoded; damaged frames flagged" "$capture_intact; $capture_flagged"
row "  frames decoded that were not sent; commands paired" "$capture_extra; $capture_paired"
echo "raw results: $out"
if [ "$pace_direct_faults" != 0 ] || [ "$pace_logged_faults" != 0 ] || [ "$pace_all_faults" != 0 ] ||
   [ "$pace_line_faults" != 0 ] || [ "$forward_faults" != 0 ]; then
  echo "bench: some rounds had time-outs or rejected replies; their pace is not comparable" >&2
fi
[ "$slowest_root" -lt 1000 ] && [ "$slowest_sensors" -lt 1000 ] ||
  { echo "bench: a whole snmpwalk took a second or more" >&2; exit 1; }
[ "$fail_metrics" = 0 ] && [ "$fail_status" = 0 ] || { echo "bench: HTTP requests failed" >&2; exit 1; }
[ "$soak_wrong" = 0 ] && [ "$soak_refused" = "$soak_injected" ] ||
  { echo "bench: the wrong-address soak gave a reading to the wrong system or took a wrong-address reply" >&2; exit 1; }
[ "$capture_extra" = 0 ] || { echo "bench: the capture decoder took frames for intact that were not sent" >&2; exit 1; }
[ "$alloc_plugin" = "0.00" ] || { echo "bench: the plug-in allocates in steady state" >&2; exit 1; }
