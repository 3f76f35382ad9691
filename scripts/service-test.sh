#!/usr/bin/env bash
# Boots a Debian tree that has the packages installed (systemd-nspawn) and
# checks the qpr2427k-host service as systemd runs it: started at boot, as a
# dynamic user in the dialout group inside its sandbox, back after a crash,
# and stopped by SIGTERM with status 0 and its cache written.
# Usage: scripts/service-test.sh TREE        (as root; nothing mounted in TREE)
# Exit status: 0 passed, 1 failed, 77 not run: systemd-nspawn cannot boot a
# container on this machine (a chroot, some containers); one line says why.
set -euo pipefail

tree=${1:?usage: scripts/service-test.sh TREE}
failures=0
fail() { echo "FAIL: service: $*"; failures=$((failures + 1)); }
ok() { echo "ok: service: $*"; }

# systemd-nspawn makes the tree's root a mount of its own, which it cannot do
# inside a chroot ("Failed to mount n/a (type n/a) on / (MS_REC|MS_SLAVE "")"),
# nor in some containers. A chroot is told apart by systemd-detect-virt; any
# other case by running /bin/true in the tree, which needs no boot.
cannot_boot() {
  local out
  if systemd-detect-virt --quiet --chroot 2>/dev/null; then
    echo "this runs inside a chroot, where systemd-nspawn cannot start a container"
    return 0
  fi
  if out=$(timeout 60 systemd-nspawn --quiet --directory="$tree" --register=no --keep-unit --pipe \
             --resolv-conf=off --timezone=off --link-journal=no /bin/true 2>&1); then
    return 1
  fi
  echo "systemd-nspawn cannot start a container here: $(grep -m1 . <<<"$out")"
}
if why=$(cannot_boot); then
  echo "SKIPPED: service: not run: $why"
  exit 77
fi

log=$(mktemp /tmp/qpr2427k-nspawn.XXXXXX)
systemd-nspawn --quiet --directory="$tree" --boot --register=no --keep-unit --console=passive \
  --resolv-conf=off --timezone=off --link-journal=no >"$log" 2>&1 &
nspawn=$!
cleanup() {
  if kill -0 "$nspawn" 2>/dev/null; then
    kill -TERM "$nspawn"  # the container powers off
    for _ in $(seq 150); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$nspawn" 2>/dev/null || true
  fi
  wait "$nspawn" 2>/dev/null || true
  rm -f "$log"
}
trap cleanup EXIT

# until TRIES COMMAND...: COMMAND succeeds within TRIES fifths of a second.
until_ok() {
  local tries=$1; shift
  for ((k = 0; k < tries; k++)); do "$@" 2>/dev/null && return 0; sleep 0.2; done
  return 1
}
leader=
# The container's systemd: a process that nspawn's short-lived helpers hand it to.
find_leader() { leader=$(pgrep -P "$nspawn" -x systemd | head -1); [ -n "$leader" ]; }
until_ok 150 find_leader || { cat "$log"; echo "FAIL: service: the container did not start"; exit 1; }
in_box() { nsenter --target "$leader" --all /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
booted() { case $(in_box systemctl is-system-running) in running | degraded) return 0 ;; *) return 1 ;; esac; }
until_ok 300 booted || { in_box systemctl --failed --no-pager || true; fail "the system did not finish booting"; }
show() { in_box systemctl show qpr2427k-host.service -P "$1"; }
is() { [ "$(show "$1")" = "$2" ]; }
restarts_then_runs() { is NRestarts "$1" && is ActiveState active; }
cache=/var/lib/private/qpr2427k/cache.json
cache_children() { in_box grep -o '"device_type"' "$cache" | wc -l; }
has_cache() { [ "$(cache_children)" -eq 4 ]; }

if until_ok 50 is ActiveState active; then ok "started at boot"; else fail "not started at boot"; fi
pid=$(show MainPID)
status=$(in_box cat "/proc/$pid/status" || true)
dialout=$(in_box getent group dialout | cut -d: -f3)
uid=$(awk '/^Uid:/ { print $2 }' <<<"$status")
if [ -n "$uid" ] && [ "$uid" -ne 0 ] && grep -Eq "^Groups:.*\\b$dialout\\b" <<<"$status" &&
    grep -Eq '^NoNewPrivs:[[:space:]]+1' <<<"$status" && grep -Eq '^CapEff:[[:space:]]+0+$' <<<"$status"; then
  ok "runs as uid $uid in dialout ($dialout), no privileges"
else
  fail "runs as it should not:"$'\n'"$(grep -E '^(Uid|Groups|NoNewPrivs|CapEff):' <<<"$status")"
fi
# Out of the box: no adapter in the box, so the line is down and the service waits for it.
line_down() { in_box journalctl -u qpr2427k-host.service --no-pager | grep -q 'LINE DOWN: cannot open serial port /dev/ttyUSB0'; }
if until_ok 100 line_down && is ActiveState active && is NRestarts 0; then
  ok "without its serial adapter it runs and says the line is down"
else
  fail "without its serial adapter: $(show ActiveState), $(show NRestarts) restarts"
fi
# As an operator would: the built-in simulator in the options, then a restart.
in_box sh -c 'echo QPR2427K_HOST_OPTIONS=--simulate >/etc/qpr2427k/options'
in_box systemctl restart qpr2427k-host.service
if until_ok 100 has_cache; then ok "its cache holds all 4 children"; else fail "no cache in $cache"; fi

restarts=$(show NRestarts)
in_box systemctl kill --signal=SIGSEGV --kill-whom=main qpr2427k-host.service
if until_ok 100 restarts_then_runs $((restarts + 1)); then ok "back after a crash (SIGSEGV)"; else fail "not restarted after a crash"; fi

in_box rm -f "$cache"
in_box systemctl stop qpr2427k-host.service
if is Result success && is ExecMainStatus 0 && has_cache; then
  ok "stopped (SIGTERM) with status 0 and the cache written"
else
  in_box journalctl -u qpr2427k-host.service --no-pager | tail -20
  fail "stop: result $(show Result), status $(show ExecMainStatus), $(cache_children) children in the cache"
fi

exit $((failures > 0))
