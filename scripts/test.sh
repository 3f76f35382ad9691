#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything with warnings as errors
# and runs every test suite. This is the command CI runs.
# Steps live in scripts/steps/ and run in name order; each prints its own
# heading. QPR_STEPS="native armhf" runs only the named ones.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# One compiler cache for all the builds of a run, kept between runs: as root
# beside CI's downloads (QPR_CI_CACHE), else ccache's own folder. Paths under
# the checkout are hashed relative to it and the working folder is left out
# of the hash, so clones in other folders share entries (their debug info
# then names the folder of the build that filled the entry). The compiler is
# recognised by its contents, so the same compiler in a Debian tree matches.
# QPR_CCACHE=0 builds without it.
if [ "${QPR_CCACHE:-1}" != 0 ] && command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1 CCACHE_COMPILERCHECK=content
  if [ "$(id -u)" -eq 0 ]; then
    export CCACHE_DIR=${CCACHE_DIR:-${QPR_CI_CACHE:-/var/cache/qpr2427k-ci}/ccache}
    mkdir -p "$CCACHE_DIR"
    ccache --max-size=10G >/dev/null
  fi
fi
# Hits and misses so far in the cache's statistics.
ccache_counts() {
  ccache --print-stats | awk -F'\t' '$1 == "direct_cache_hit" || $1 == "preprocessed_cache_hit" { hit += $2 }
    $1 == "cache_miss" { miss = $2 } END { print hit + 0, miss + 0 }'
}
[ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] || read -r hits0 misses0 < <(ccache_counts)

run_start=$(date +%s)
for step in scripts/steps/*.sh; do
  name=$(basename "$step" .sh); name=${name#*-}
  if [ -n "${QPR_STEPS:-}" ] && [[ " $QPR_STEPS " != *" $name "* ]]; then continue; fi
  # The CPU time too: on a busy machine it tells a step's own work apart
  # from the wait for cores.
  TIMEFORMAT="== step $name took %0R s (CPU %0U s user, %0S s system)"
  time bash "$step"
done
if [ -n "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
  read -r hits misses < <(ccache_counts)
  echo "== compiler cache: $((hits - hits0)) hits, $((misses - misses0)) misses"
fi
# The CPU time of every program the run started (the second line of
# "times"; written to a file, as a pipeline would run it in a subshell).
cpu=$(mktemp)
times >"$cpu"
echo "== all steps took $(( $(date +%s) - run_start )) s (CPU $(awk 'NR == 2 {
  for (k = 1; k <= 2; k++) { split($k, t, /[ms]/); s[k] = t[1] * 60 + t[2] }
  printf "%d s user, %d s system", s[1], s[2] }' "$cpu"))"
rm -f "$cpu"
