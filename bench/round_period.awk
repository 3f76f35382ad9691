# A run's round period from the runner's --events file: the time from round
# 2's end to the last round's end over the rounds between, so that the work
# done between two rounds (by the outputs, on the poll loop) counts, which a
# round's own "ms" (its first command to its end) leaves out.
#   awk -f round_period.awk events.jsonl
# Prints: milliseconds per round, rounds counted ("0 0" with fewer than 3 rounds).
/"event":"round"/ {
  r = $0; sub(/.*"round":/, "", r); sub(/[,}].*/, "", r)
  t = $0; sub(/.*"t":/, "", t); sub(/[,}].*/, "", t)
  if (r + 0 == 2) { first = t + 0; from = 2 }
  last = t + 0; to = r + 0
}
END {
  if (!from || to <= from) { print "0 0"; exit }
  printf "%.4f %d\n", (last - first) / (to - from), to - from
}
