# Shell functions the bench scripts share, sourced: stopping what a script
# started, reading a listener's port, and the alternating off/on pairs of runs.
# shellcheck shell=bash

# The processes a script started, killed on exit (cleanup; trap cleanup EXIT).
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }

wait_for_port() {  # file holding "listening on HOST:PORT"
  for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on [0-9.]*:\([0-9]*\).*/\1/p' "$1" | head -1)
    [ -n "$port" ] && { echo "$port"; return 0; }
    sleep 0.1
  done
  echo "$(basename "$0" .sh): no port in $1" >&2
  return 1
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

# PAIRS runs without, then with, what is measured, through the caller's
# `run NAME` and `run_on NAME` writing the events file PREFIX-NAME.jsonl
# (NAME off-K and on-K). A run's pace is its round period
# (bench/round_period.awk). Sets pairs_summary to
#   RATIO_MEDIAN RATIO_MIN RATIO_MAX PERIOD_OFF_MS PERIOD_ON_MS
# (ratios on/off of each pair; periods: the medians over the runs).
on_off_pairs() {  # PREFIX PAIRS
  local k sorted off=() on=() ratios=()
  for k in $(seq "$2"); do
    run "off-$k"
    run_on "on-$k"
    off+=("$(awk -f bench/round_period.awk "$1-off-$k.jsonl" | cut -d' ' -f1)")
    on+=("$(awk -f bench/round_period.awk "$1-on-$k.jsonl" | cut -d' ' -f1)")
    ratios+=("$(awk -v a="${on[-1]}" -v b="${off[-1]}" 'BEGIN { printf "%.4f", (b > 0) ? a / b : 0 }')")
  done
  sorted=$(printf '%s\n' "${ratios[@]}" | sort -g)
  # shellcheck disable=SC2034  # read by the script that sources this file
  pairs_summary=$(printf '%.3f %.3f %.3f %.3f %.3f' "$(median "${ratios[@]}")" "$(head -1 <<<"$sorted")" \
    "$(tail -1 <<<"$sorted")" "$(median "${off[@]}")" "$(median "${on[@]}")")
}
