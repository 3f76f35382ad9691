#!/usr/bin/env bash
# Soak of three power systems on one line with replies from a wrong address:
# each system has its own nominal voltages and currents, the one at 2 answers
# every 40th command from address 3 and the one at 3 every 40th from address 1.
# Every value of a system must lie within 5% of that system's nominal, every
# published data id be its own, every reply it took carry its address, and
# every wrong-address reply be refused by the system that asked. Prints one
# line: ROUNDS SECONDS READINGS MISATTRIBUTED INJECTED REFUSED LATE; exit 1 on
# any misattribution or an injected reply not refused, 2 on a bad command line.
#   bench/wrong_address_soak.sh HOST_EXE OUT_DIR ROUNDS [TIMEOUT_MS]
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: $0 HOST_EXE OUT_DIR ROUNDS [TIMEOUT_MS]" >&2; exit 2; }
host_exe=$1 out=$2 rounds=$3 timeout_ms=${4:-20}
mkdir -p "$out"
python3 - "$out" <<'PY'
import json, sys
out = sys.argv[1]
systems, settings = [], []
for k in (1, 2, 3):
    dc_v = 38.0 + 6.0 * k  # 44, 50, 56 V
    s = {"address": k, "seed": k,
         "ac": [{"voltage": 170.0 + 30.0 * k, "current": 2.0 + 8.0 * k}],
         "rectifier": {"modules": 2 + k, "voltage": dc_v},
         "dc": [{"voltage": dc_v, "current": 20.0 * k - 10.0}]}
    if k > 1:
        s["faults"] = [{"type": "wrong_address", "every": 40, "address": k % 3 + 1}]
    systems.append(s)
    settings.append({"address": k, "data_id": 100 * k, "acSetting": [{"data_id": 100 * k + 1}],
                     "dcSetting": [{"data_id": 100 * k + 2}], "rcSetting": {}})
json.dump({"systems": systems}, open(f"{out}/soak-scenario.json", "w"))
json.dump({"systems": settings}, open(f"{out}/soak-site.json", "w"))
PY
start=$(date +%s.%N)
"$host_exe" --simulate "$out/soak-scenario.json" --config "$out/soak-site.json" --rounds "$rounds" \
  --no-round-wait --reply-pause-ms 0 --poll-ms 2 --timeout-ms "$timeout_ms" --quiet --events "$out/soak.jsonl" \
  >"$out/soak-view.txt" 2>&1 || { cat "$out/soak-view.txt" >&2; exit 1; }
seconds=$(echo "$(date +%s.%N) - $start" | bc)
# The alarm calls, most of the stream (a long soak writes gigabytes), say nothing about attribution.
grep -v '"event":"alarm"' "$out/soak.jsonl" >"$out/soak-checked.jsonl"
rm -f "$out/soak.jsonl"
python3 - "$out/soak-scenario.json" "$rounds" "$seconds" "$out/soak-checked.jsonl" <<'PY'
import json, sys
scenario, rounds, seconds = json.load(open(sys.argv[1]))["systems"], int(sys.argv[2]), float(sys.argv[3])
nominal, every = {}, {}
for s in scenario:
    a = s["address"]
    ac, dc = s["ac"][0], s["dc"][0]
    nominal[a] = {"channel_0_a": ac["voltage"], "channel_0_b": ac["voltage"], "channel_0_c": ac["voltage"],
                  "ia": ac["current"], "ib": ac["current"], "ic": ac["current"], "v": dc["voltage"], "i": dc["current"]}
    every[a] = s.get("faults", [{}])[0].get("every", 0)
WANTED = ('"event":"value"', '"event":"publish"', '"event":"reply"', '"event":"command"', '"event":"rejected"',
          '"event":"round"')
readings = wrong = 0
count = {a: {"command": 0, "refused": 0, "round": 0} for a in nominal}
first_wrong = None
for line in open(sys.argv[4]):
    if not any(w in line for w in WANTED):
        continue
    e = json.loads(line)
    a, kind = e["system"]["address"], e["event"]
    bad = False
    if kind == "value":
        want = nominal[a].get(e["key"])
        if e["data_id"] // 100 != a:
            bad = True
        elif want is not None:
            readings += 1
            bad = abs(e["value"] - want) > 0.05 * want
    elif kind == "publish":
        bad = e["data_id"] // 100 != a
    elif kind == "reply":
        bad = int(e["frame"][3:5], 16) != a
    elif kind == "command":
        count[a]["command"] += 1
    elif kind == "rejected" and e["reason"] == "address is not ours":
        count[a]["refused"] += 1
    elif kind == "round":
        count[a]["round"] += 1
    if bad:
        wrong += 1
        first_wrong = first_wrong or line.strip()
# The simulator answers every command (the run ends on a reply), so system A
# sent commands // every wrong-address replies. A reply that comes after its
# time-out (a loaded machine) is refused by the system that holds the line
# then: counted apart, as late.
injected = sum(c["command"] // every[a] for a, c in count.items() if every[a])
missed = late = 0
for a, c in count.items():
    expected = c["command"] // every[a] if every[a] else 0
    missed += max(0, expected - c["refused"])
    late += max(0, c["refused"] - expected)
short = [a for a, c in count.items() if c["round"] < rounds]
print(f"{rounds} {seconds:.1f} {readings} {wrong} {injected} {injected - missed} {late}")
if first_wrong:
    print(f"misattributed: {first_wrong}", file=sys.stderr)
if missed or short:
    print(f"wrong-address replies not refused by the system asked: {missed}; systems short of rounds: {short}",
          file=sys.stderr)
sys.exit(1 if wrong or missed or short or not readings else 0)
PY
rm -f "$out/soak-checked.jsonl"
