#!/usr/bin/env bash
# Round pace of N power systems sharing one line against the sum of their
# floors: N copies of the reference system (addresses 1..N) polled with the
# engine's reply pause PAUSE_MS and no gap between rounds, each for ROUNDS
# rounds. The floor is every reply taken (the model queries included) times
# the pause; the measured time runs from the first command to the last round
# end. Prints one line per N: N RATIO MS_MEASURED MS_FLOOR ROUNDS TIMEOUTS.
#   bench/multisystem_pace.sh HOST_EXE OUT_DIR ROUNDS PAUSE_MS [N...]
set -euo pipefail
host_exe=$1 out=$2 rounds=$3 pause_ms=$4
shift 4
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1 2 8)
cd "$(dirname "$0")/.."
mkdir -p "$out"
for n in "${counts[@]}"; do
  python3 - "$n" "$out" <<'PY'
import json, sys
n, out = int(sys.argv[1]), sys.argv[2]
scenario = json.load(open("bench/reference-scenario.json"))
scenario.pop("description", None)
site = json.load(open("bench/reference-site.json"))
systems, settings = [], []
for k in range(1, n + 1):
    s = dict(scenario, address=k, seed=k)
    systems.append(s)
    # Data ids moved by 1000 a system, so that no two systems' units share one.
    text = json.dumps(site)
    entry = json.loads(text)
    def shift(v):
        if isinstance(v, dict):
            return {key: (val + 1000 * k if key == "data_id" and isinstance(val, int) else shift(val)) for key, val in v.items()}
        if isinstance(v, list):
            return [shift(x) for x in v]
        return v
    entry = shift(entry)
    entry["address"] = k
    settings.append(entry)
json.dump({"systems": systems}, open(f"{out}/multi-{n}-scenario.json", "w"))
json.dump(settings[0] if n == 1 else {"systems": settings}, open(f"{out}/multi-{n}-site.json", "w"))
PY
  "$host_exe" --simulate "$out/multi-$n-scenario.json" --config "$out/multi-$n-site.json" --rounds "$rounds" \
    --no-round-wait --reply-pause-ms "$pause_ms" --quiet --events "$out/multi-$n.jsonl" >/dev/null
  python3 - "$out/multi-$n.jsonl" "$n" "$pause_ms" <<'PY'
import json, sys
path, n, pause = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
first = last = None
replies = rounds = timeouts = 0
for line in open(path):
    e = json.loads(line)
    kind = e["event"]
    if kind == "command" and first is None:
        first = e["t"]
    elif kind == "reply":
        replies += 1
    elif kind == "timeout":
        timeouts += 1
    elif kind == "round":
        rounds += 1
        last = e["t"]
measured, floor = last - first, replies * pause
print(f"{n} {measured / floor:.3f} {measured} {floor:.0f} {rounds} {timeouts}")
PY
done
