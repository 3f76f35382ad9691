# Round pace against its floor, from the runner's --events file or from its
# round view (lines "── round N · MS ms · C commands" and the "end:" line).
#   awk -v byte=SECONDS_PER_WIRE_BYTE -v pause=MS_PER_REPLY -f round_pace.awk events.jsonl
#   awk -v byte=0 -v pause=MS_PER_REPLY -f round_pace.awk view.txt
# A round's floor is its replies times the pause plus the wire time of every
# command and reply frame ('~' to CR); the view has no frames, so it serves
# only with byte=0, each command counting as a reply. The model query before
# the first round belongs to no round. The first round (which builds the units'
# tables) is left out. Prints: measured/floor over the rounds, the worst
# round's ratio, the rounds counted, and the time-outs and rejected replies
# among them (for a view, over the whole run).
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
/^── round [0-9]+ · .* ms · [0-9]+ commands$/ { replies = $8; EndRound($5); next }
/^end: .* rejected, .* time-outs\)$/ {
  n = split($0, w, /[ (),]+/)
  for (k = 2; k <= n; k++) if (w[k] == "rejected" || w[k] == "time-outs") allFaults += w[k - 1]
  next
}
/"event":"round"/ {
  ms = $0
  sub(/.*"ms":/, "", ms)
  sub(/[,}].*/, "", ms)
  EndRound(ms)
}
function EndRound(ms) {
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
