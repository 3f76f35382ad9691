#!/usr/bin/env bash
# What a silent system costs the others on a shared line: eight copies of the
# reference system (addresses 1..8) polled for SECONDS with no gap between
# rounds, the eighth answering, silent, or absent (seven systems). The pace is
# the median time between two rounds of one of the seven answering systems,
# averaged over them. Prints one line: ANSWERING_MS SILENT_MS ABSENT_MS
# PACE_TIMEOUTS COUNTED_TIMEOUTS: the pace's cost in time-outs per cycle,
# (silent - absent) / TIMEOUT_MS, and the time-outs of the silent run counted
# per cycle (per round of the seven), which a loaded machine does not blur.
#   bench/silent_pace.sh HOST_EXE OUT_DIR SECONDS PAUSE_MS TIMEOUT_MS
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: $0 HOST_EXE OUT_DIR SECONDS PAUSE_MS TIMEOUT_MS" >&2; exit 2; }
host_exe=$1 out=$2 seconds=$3 pause_ms=$4 timeout_ms=$5
cd "$(dirname "$0")/.."
mkdir -p "$out"
python3 - "$out" <<'PY'
import json, sys
out = sys.argv[1]
scenario = json.load(open("bench/reference-scenario.json"))
scenario.pop("description", None)
site = json.dumps(json.load(open("bench/reference-site.json")))
def shift(v, k):
    if isinstance(v, dict):
        return {key: (val + 1000 * k if key == "data_id" and isinstance(val, int) else shift(val, k)) for key, val in v.items()}
    return [shift(x, k) for x in v] if isinstance(v, list) else v
for mode, n in (("answering", 8), ("silent", 8), ("absent", 7)):
    systems = [dict(scenario, address=k, seed=k) for k in range(1, n + 1)]
    if mode == "silent":
        systems[-1]["silent"] = True
    settings = [dict(shift(json.loads(site), k), address=k) for k in range(1, n + 1)]
    json.dump({"systems": systems}, open(f"{out}/{mode}-scenario.json", "w"))
    json.dump({"systems": settings}, open(f"{out}/{mode}-site.json", "w"))
PY
paces=() counted=()
for mode in answering silent absent; do
  "$host_exe" --simulate "$out/$mode-scenario.json" --config "$out/$mode-site.json" --duration "$seconds" \
    --no-round-wait --reply-pause-ms "$pause_ms" --timeout-ms "$timeout_ms" --quiet \
    --events "$out/$mode.jsonl" >/dev/null
  read -r pace per_cycle < <(python3 - "$out/$mode.jsonl" <<'PY'
import json, statistics, sys
at = {}
for line in open(sys.argv[1]):
    if '"event":"round"' in line:
        e = json.loads(line)
        at.setdefault(e["system"]["address"], []).append(e["t"])
gaps = [statistics.median(b - a for a, b in zip(t, t[1:])) for adr, t in at.items() if adr <= 7 and len(t) > 2]
cycles = min(len(t) for adr, t in at.items() if adr <= 7)
timeouts = sum('"event":"timeout"' in line for line in open(sys.argv[1]))
print(f"{statistics.mean(gaps):.1f}" if len(gaps) == 7 else "nan", f"{timeouts / cycles:.2f}")
PY
)
  paces+=("$pace") counted+=("$per_cycle")
done
awk -v a="${paces[0]}" -v s="${paces[1]}" -v n="${paces[2]}" -v t="$timeout_ms" -v c="${counted[1]}" \
  'BEGIN { printf "%s %s %s %.2f %s\n", a, s, n, (s - n) / t, c }'
