#!/usr/bin/env bash
# The northbound servers under their real clients: snmpd (started here as the
# AgentX master on a free loopback port, its own configuration in OUT_DIR)
# with the runner's --snmp-agentx, and the runner's --nut. Measured: WALKS
# sequential snmpwalk runs of the runner's own subtree and of
# ENTITY-SENSOR-MIB's entPhySensorTable (walks per second, the slowest walk);
# UPSC sequential `upsc UPS@127.0.0.1:PORT` runs, and REQUESTS `LIST VAR` on
# one raw connection, each sent once the previous answer is in (per second);
# then the round period (bench/round_period.awk) with --snmp-agentx and --nut
# on (an NMS walking the subtree and a upsc every second) against neither,
# alternating PAIRS pairs of ROUNDS rounds at reply pause PAUSE_MS; the events
# file is on in both. Prints one line:
#   WALKS_PER_S_ROOT SLOWEST_WALK_ROOT_MS INSTANCES_ROOT
#   WALKS_PER_S_SENSORS SLOWEST_WALK_SENSORS_MS INSTANCES_SENSORS
#   UPSC_PER_S LIST_VAR_PER_S RATIO_MEDIAN RATIO_MIN RATIO_MAX PERIOD_OFF_MS PERIOD_ON_MS
#   bench/northbound_bench.sh HOST_EXE OUT_DIR WALKS UPSC REQUESTS ROUNDS PAUSE_MS PAIRS
set -euo pipefail
host_exe=$1 out=$2 walks=$3 upscs=$4 requests=$5 rounds=$6 pause_ms=$7 pairs=$8
cd "$(dirname "$0")/.."
source bench/lib.sh
mkdir -p "$out"
out=$(cd "$out" && pwd)
for tool in snmpd snmpwalk upsc python3; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
    { echo "northbound bench: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
export PATH=$PATH:/usr/sbin MIBS=  # numeric OIDs: no MIB files are read
free_port() {  # udp or tcp
  python3 -c "import socket, sys; s = socket.socket(type=socket.SOCK_DGRAM if sys.argv[1] == 'udp' else socket.SOCK_STREAM)
s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])" "$1"
}
root=.1.3.6.1.4.1.32473.2427 sensors=.1.3.6.1.2.1.99.1.1.1
snmp_port=$(free_port udp)
agentx=$out/agentx
# Not named snmpd.conf: snmpd writes its persistent state under that name into SNMP_PERSISTENT_DIR.
printf 'master agentx\nagentXSocket %s\nagentXPerms 0600 0700\nrocommunity qprbench 127.0.0.1\n' "$agentx" \
  >"$out/master.conf"
SNMP_PERSISTENT_DIR=$out snmpd -f -Lo -C -c "$out/master.conf" "udp:127.0.0.1:$snmp_port" >"$out/snmpd.log" 2>&1 &
pids=($!)
host=
cleanup() {
  for p in "${pids[@]}" $host; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
walk() {  # OID: the instances, one a line
  timeout 60 snmpwalk -v2c -c qprbench -Oqn -t 5 -r 0 "127.0.0.1:$snmp_port" "$1" 2>/dev/null || true
}
until_ok() {  # command...: tries for up to 20 s
  for _ in $(seq 200); do "$@" && return 0; sleep 0.1; done
  echo "northbound bench: no answer to $*" >&2
  return 1
}
until_ok test -S "$agentx"
ups() { timeout 20 upsc "qpr2427k@127.0.0.1:$1" >/dev/null 2>&1; }
served() { walk "$root.1.2.1" | grep -q "^$root.1.2.1.0 "; }

# ---------------------------------------------------------------- clients' rates
nut_port=$(free_port tcp)
"$host_exe" --simulate bench/reference-scenario.json --config bench/reference-site.json --quiet \
  --reply-pause-ms "$pause_ms" --snmp-agentx "$agentx" --nut "127.0.0.1:$nut_port" --duration 600 \
  >"$out/northbound-host.log" 2>&1 &
host=$!
until_ok served
until_ok ups "$nut_port"
walk_rate() {  # OID: walks per second, the slowest walk in ms, instances of the last walk
  local k a b slowest=0 n start
  start=$(date +%s%N)
  for k in $(seq "$walks"); do
    a=$(date +%s%N)
    n=$(walk "$1" | grep -c "^$1\.")
    b=$(date +%s%N)
    slowest=$(( (b - a) > slowest ? b - a : slowest ))
  done
  awk -v n="$walks" -v t="$(( $(date +%s%N) - start ))" -v w="$slowest" -v i="$n" \
    'BEGIN { printf "%.1f %.0f %d\n", n / (t / 1e9), w / 1e6, i }'
}
read -r walks_root slowest_root n_root < <(walk_rate "$root")
read -r walks_sensors slowest_sensors n_sensors < <(walk_rate "$sensors")
start=$(date +%s%N)
for _ in $(seq "$upscs"); do ups "$nut_port" || { echo "northbound bench: upsc failed" >&2; exit 1; }; done
upsc_rate=$(awk -v n="$upscs" -v t="$(( $(date +%s%N) - start ))" 'BEGIN { printf "%.0f", n / (t / 1e9) }')
list_rate=$(python3 - "$nut_port" "$requests" <<'EOF'
import socket, sys, time
port, n = int(sys.argv[1]), int(sys.argv[2])
s = socket.create_connection(("127.0.0.1", port), timeout=10)
end = b"END LIST VAR qpr2427k\n"
buf = b""
start = time.monotonic()
for _ in range(n):
    s.sendall(b"LIST VAR qpr2427k\n")
    while end not in buf:
        chunk = s.recv(65536)
        if not chunk:
            sys.exit("northbound bench: the NUT server closed the connection")
        buf += chunk
    if b"ERR" in buf.split(end)[0][:64]:
        sys.exit("northbound bench: LIST VAR answered " + buf.split(b"\n")[0].decode())
    buf = buf.split(end, 1)[1]
print("%.0f" % (n / (time.monotonic() - start)))
EOF
)
kill "$host"; wait "$host" || true
host=

# ---------------------------------------------------------------- round period
run() {  # name, extra options
  "$host_exe" --simulate bench/reference-scenario.json --config bench/reference-site.json --rounds "$rounds" \
    --no-round-wait --reply-pause-ms "$pause_ms" --poll-ms 1 --quiet --events "$out/northbound-$1.jsonl" "${@:2}" \
    >/dev/null 2>"$out/northbound-$1.err"
}
run_on() {  # name: with an NMS and a upsmon-like client polling once a second until the run ends
  local port
  port=$(free_port tcp)
  run "$1" --snmp-agentx "$agentx" --nut "127.0.0.1:$port" &
  host=$!
  ( while kill -0 "$host" 2>/dev/null; do walk "$root" >/dev/null; ups "$port" || true; sleep 1; done ) &
  local clients=$!
  wait "$host"
  host=
  wait "$clients" 2>/dev/null || true
}
on_off_pairs "$out/northbound" "$pairs"
printf '%s %s %s %s %s %s %s %s %s\n' "$walks_root" "$slowest_root" "$n_root" \
  "$walks_sensors" "$slowest_sensors" "$n_sensors" "$upsc_rate" "$list_rate" "$pairs_summary"
