#!/usr/bin/env bash
# Runs ctest in a build folder (further arguments go to ctest) and fails when a
# process the tests started outlives the run: each is named, then killed.
# usage: scripts/run-ctest.sh BUILD [CTEST-OPTION...]
# The run's processes are told apart without systemd or a cgroup, so that this
# works in a plain root shell among other people's runs: a mark in the
# environment every process the tests start inherits, the run's own temporary
# folder (TEST_TMPDIR, where the tests make their files, sockets and pseudo-
# terminal links) and programs of this build folder started during the run.
set -euo pipefail
[ $# -ge 1 ] && [ -d "$1" ] || { echo "usage: $0 BUILD [CTEST-OPTION...]" >&2; exit 2; }
build=$(cd "$1" && pwd)
shift
mark="QPR_TEST_RUN=$$-$(date +%s%N)"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/qpr-tests.XXXXXX")

# Field 22 of /proc/PID/stat: the start time in clock ticks since boot.
started() {
  local stat
  stat=$(<"/proc/$1/stat") || return 1
  stat=${stat##*) }
  read -r -a fields <<<"$stat"
  echo "${fields[19]}"
}
since=$(started "$BASHPID")  # a subshell made just now

# Whether process $1 is one of the run's. Bash built-ins only: a helper program
# run here would carry the searched-for strings on its own command line.
ours() {
  local p=$1 entry cmd="" t
  [ "$p" != $$ ] || return 1
  while IFS= read -r -d '' entry; do
    [ "$entry" != "$mark" ] || return 0
  done <"/proc/$p/environ"
  while IFS= read -r -d '' entry; do cmd+="$entry "; done <"/proc/$p/cmdline"
  case "$cmd" in
    *"$tmp/"*) return 0 ;;
    *"$build/"*) t=$(started "$p") && [ "$t" -ge "$since" ] ;;
    *) return 1 ;;
  esac
} 2>/dev/null

leftovers() {
  local dir p
  for dir in /proc/[0-9]*; do
    p=${dir#/proc/}
    # Not this script's own command substitutions.
    [ "$p" != "$BASHPID" ] || continue
    if ours "$p"; then echo "$p"; fi
  done
}

rc=0
(cd "$build" && env "$mark" TEST_TMPDIR="$tmp" ctest "$@") || rc=$?

# A test's children get SIGTERM when it ends: give them a moment to go.
end=$((SECONDS + 5))
while mapfile -t left < <(leftovers) && [ ${#left[@]} -gt 0 ] && [ "$SECONDS" -lt "$end" ]; do sleep 0.2; done
if [ ${#left[@]} -gt 0 ]; then
  echo "run-ctest: ${#left[@]} process(es) the tests started outlived them:"
  for p in "${left[@]}"; do
    cmd=$(tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null) || continue
    echo "  $p $cmd"
    kill -KILL "$p" 2>/dev/null || true
  done
  # And what they started meanwhile.
  sleep 0.2
  for p in $(leftovers); do kill -KILL "$p" 2>/dev/null || true; done
  [ "$rc" -ne 0 ] || rc=1
fi
if [ "$rc" -eq 0 ]; then
  rm -rf "$tmp"
else
  echo "run-ctest: the tests' files are in $tmp"
fi
exit "$rc"
