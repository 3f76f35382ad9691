#!/usr/bin/env bash
# Checks the arithmetic of the awk scripts of scripts/bench.sh on small
# hand-made inputs whose results are worked out by hand (bench/testdata/).
set -euo pipefail
cd "$(dirname "$0")"
fail=0
expect() {  # what, expected, actual
  if [ "$2" != "$3" ]; then
    echo "check_scripts: $1: expected [$2], got [$3]"
    fail=1
  fi
}
# Round 1 is left out; round 2: 2 replies, 34 wire bytes, 50 ms; round 3: 1
# reply, 17 bytes, 30 ms. Floors with a 20 ms pause: 40 and 20 ms, plus 34
# and 17 ms at 1 ms a byte.
expect "pace, no line delay" "1.333 1.500 2 0" \
  "$(awk -v byte=0 -v pause=20 -f round_pace.awk testdata/pace.jsonl)"
expect "pace, 1 ms a byte" "0.721 0.811 2 0" \
  "$(awk -v byte=0.001 -v pause=20 -f round_pace.awk testdata/pace.jsonl)"
expect "pace, a timed-out exchange" "1.333 1.500 2 1" \
  "$(sed '6i {"event":"timeout"}' testdata/pace.jsonl | awk -v byte=0 -v pause=20 -f round_pace.awk)"
# The runner's round view: the same rounds 2 and 3; faults from the end line.
expect "pace, round view" "1.333 1.500 2 1" \
  "$(awk -v byte=0 -v pause=20 -f round_pace.awk testdata/pace-view.txt)"
# Round period: round 2 ends at 1010 ms, round 4 at 1019: 4.5 ms a round over 2.
expect "round period" "4.5000 2" "$(awk -f round_period.awk testdata/period.jsonl)"
expect "round period, one round" "0 0" "$(head -2 testdata/period.jsonl | awk -f round_period.awk)"
# Latency: arrival in s less "t" in ms (a "t" inside the values is not the stamp).
expect "state latency" "4.200 0.500 0.200" "$(awk -f state_latency.awk testdata/states.txt | tr '\n' ' ' | sed 's/ $//')"
# Nearest rank: of 1..200 the 99th percentile is 198; of 1..3 it is 3.
expect "percentiles" "100.000 198.000 200.000 200" "$(seq 200 | awk -f percentiles.awk)"
expect "percentiles, three" "2.000 3.000 3.000 3" "$(seq 3 | awk -f percentiles.awk)"
expect "percentiles, none" "- - - 0" "$(awk -f percentiles.awk </dev/null)"
# Host: 900 into the engine, less 700 back into the plug-in, plus 250 of alarm
# reports (the controller counts as host). Decoding takes its library call,
# which is a trace line.
expect "callgrind split" "total 1000 decoding 300 decoding_trace 250 round_end 100 plugin_other 150 host 450 host_receive_path 200 string_compare 0" \
  "$(awk -v per=1 -f callgrind_split.awk testdata/split.callgrind | tr '\n' ' ' | sed 's/ $//')"
expect "callgrind split per round" "total 500 decoding 150 decoding_trace 125 round_end 50 plugin_other 75 host 225 host_receive_path 100 string_compare 0" \
  "$(awk -v per=2 -f callgrind_split.awk testdata/split.callgrind | tr '\n' ' ' | sed 's/ $//')"
[ "$fail" -eq 0 ] && echo "check_scripts: the pace, period, latency and callgrind split scripts add up"
exit "$fail"
