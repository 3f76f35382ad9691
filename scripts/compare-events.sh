#!/usr/bin/env bash
# Compares two runner event streams (--events files) with their times masked.
# usage: scripts/compare-events.sh [--ignore KIND]... A.jsonl B.jsonl
# Drops the members that carry times (t, ms, since; older runners wrote no t),
# masks durations in health messages and the 7-byte round time stamp inside
# every published and saved image (AC record offset 33, rectifier 58, DC 170,
# found by record type); the history events, written from a worker thread, are
# compared as a sequence of their own. --ignore leaves out events of a kind only
# one of the runners writes (e.g. health, which older runners lack).
# Exit 0 when the streams are equal, 1 with the first difference.
set -euo pipefail
ignore=()
while [ $# -gt 2 ] && [ "$1" = --ignore ]; do ignore+=("$2"); shift 2; done
if [ $# -ne 2 ]; then
  echo "usage: $0 [--ignore KIND]... A.jsonl B.jsonl" >&2
  exit 2
fi
python3 - "$1" "$2" "${ignore[@]}" <<'PY'
import json, re, sys

IGNORED = set(sys.argv[3:])

STAMP = {5026: 33, 5027: 58, 5028: 170}  # record type -> offset of the 7-byte time stamp
TIME_KEYS = ("t", "ms", "since")

def load(path):
    events, history, types = [], [], {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            e = json.loads(line)
            if e.get("event") in IGNORED:
                continue
            for k in TIME_KEYS:
                if k in e:
                    del e[k]
            if isinstance(e.get("message"), str):
                e["message"] = re.sub(r"\d+(\.\d+)? ?(ms|s)\b", "N \\2", e["message"])
            if e.get("event") == "publish":
                types[e["data_id"]] = e["record_type"]
            if e.get("event") in ("publish", "history") and "image" in e:
                at = STAMP.get(types.get(e["data_id"]))
                if at is None:
                    sys.exit(f"{path}:{number}: image of data id {e['data_id']} before any publication of it")
                img = e["image"]
                e["image"] = img[: 2 * at] + "*" * 14 + img[2 * (at + 7):]
            (history if e.get("event") == "history" else events).append(e)
    return events, history

def compare(name, a, b):
    for k, (x, y) in enumerate(zip(a, b)):
        if x != y:
            print(f"{name}: event {k + 1} differs:\n  {json.dumps(x, ensure_ascii=False)}\n  {json.dumps(y, ensure_ascii=False)}")
            return False
    if len(a) != len(b):
        print(f"{name}: {len(a)} events against {len(b)}")
        return False
    return True

(ea, ha), (eb, hb) = load(sys.argv[1]), load(sys.argv[2])
same = compare("events", ea, eb) & compare("history", ha, hb)
print(f"{'equal' if same else 'DIFFERENT'}: {len(ea)} events and {len(ha)} history events against {len(eb)} and {len(hb)}")
sys.exit(0 if same else 1)
PY
