# Round pace against its floor, from the runner's --events file.
#   awk -v byte=SECONDS_PER_WIRE_BYTE -v pause=MS_PER_REPLY -f round_pace.awk events.jsonl
# A round's floor is its replies times the pause plus the wire time of every
# command and reply frame ('~' to CR). The model query before the first round
# belongs to no round. The first round (which builds the units' tables) is left
# out. Prints: measured/floor over the rounds, the worst round's ratio, the
# rounds counted, and the time-outs and rejected replies among them.
function frameBytes(line,   f) {
  f = line
  sub(/.*"frame":"/, "", f)
  sub(/".*/, "", f)
  return length(f) + 1  # the CR ends every frame
}
/"event":"command"/ {
  model = /"cid2":"51"/
  if (!model) bytes += frameBytes($0)
  next
}
/"event":"reply"/ {
  if (!model) { bytes += frameBytes($0); replies++ }
  model = 0
  next
}
/"event":"(timeout|rejected)"/ { faults++; next }
/"event":"round"/ {
  ms = $0
  sub(/.*"ms":/, "", ms)
  sub(/[,}].*/, "", ms)
  if (++round > 1) {
    floor = replies * pause + bytes * byte * 1000
    total += ms; totalFloor += floor; counted++; allFaults += faults
    if (floor > 0 && ms / floor > worst) worst = ms / floor
  }
  replies = 0; bytes = 0; faults = 0
}
END {
  if (counted == 0 || totalFloor <= 0) { print "n/a n/a 0", allFaults + 0; exit }
  printf "%.3f %.3f %d %d\n", total / totalFloor, worst, counted, allFaults
}
