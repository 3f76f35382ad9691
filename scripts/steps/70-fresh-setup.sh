#!/usr/bin/env bash
# The README's set-up from nothing, as a new user meets it (after a check of
# scripts/install-deps.sh's decisions on stand-in apt tables): a clean clone of
# this checkout in a clean Debian 12 tree (scripts/debian-tree.sh) runs
# scripts/install-deps.sh (everything: armhf cross build, Node.js, npm modules),
# configures the whole build, benchmarks included, and runs scripts/run-demo.sh
# for 3 rounds. A package or a step that the set-up misses turns this red,
# where this machine's own packages would hide it.
# Only the demo's programs are built (plug-in, runner, simulator): the whole
# build and every test run on the same sources in the other steps; what this
# step adds is that nothing is missing, which the configure (every package
# the build, tests and benchmarks look for), the link and a run show.
set -euo pipefail
cd "$(dirname "$0")/../.."
echo "== set-up from a clean clone in a clean Debian 12 tree"
start=$(date +%s)
# install-deps' decisions (pins, what it names) against stand-in apt tables.
bash tests/setup/install-deps-test.sh
[ "$(id -u)" -eq 0 ] || { echo "fresh-setup: needs root (debootstrap, chroot)"; exit 2; }
cache=${QPR_CI_CACHE:-/var/cache/qpr2427k-ci}
work=$(mktemp -d /tmp/qpr2427k-fresh.XXXXXX)
tree=$work/root
src=/root/qpr2427k

# shellcheck source=scripts/tree-mounts.sh
source scripts/tree-mounts.sh
mounts=()
cleanup() {
  unmount_all
  if ! grep -q " ${work}[/ ]" /proc/mounts; then rm -rf --one-file-system "$work"; fi
}
trap cleanup EXIT
# The tree (some 3 GB in many small files) lives in memory: unpacking it and
# throwing it away take no disk work.
mount -t tmpfs -o size=8G,mode=0755 qpr2427k-fresh "$work" && mounts+=("$work")

took() { echo "fresh-setup: $1 after $(( $(date +%s) - start )) s"; }
# in_clone LOG COMMAND...: COMMAND in the clone, as a user's shell would run
# it; its output goes to LOG and is shown when it fails. The compiler cache
# of the CI runs is shared (scripts/test.sh).
in_clone() {
  local log=$work/$1; shift
  # shellcheck disable=SC2016  # expanded by the tree's shell
  if chroot "$tree" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      HOME=/root LC_ALL=C.UTF-8 TERM=dumb \
      CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR=/var/cache/ccache CCACHE_BASEDIR="$src" \
      CCACHE_NOHASHDIR=1 CCACHE_COMPILERCHECK=content \
      sh -c 'cd "$0" && exec "$@"' "$src" "$@" >"$log" 2>&1; then
    return 0
  fi
  tail -n 60 "$log"
  echo "fresh-setup: FAILED: $*"
  exit 1
}

scripts/debian-tree.sh "$tree" >"$work/tree.log" 2>&1 || { cat "$work/tree.log"; echo "fresh-setup: the tree could not be made"; exit 1; }
mount_system "$tree"
mount_apt_caches "$tree" "$cache"
mkdir -p "$cache/ccache"
bind_into "$cache/ccache" "$tree/var/cache/ccache"
trust_local_cas "$tree" || { echo "fresh-setup: the tree cannot trust this machine's certificate authorities"; exit 1; }
git clone -q "$PWD" "$tree$src"
echo "fresh-setup: clean clone of $(git -C "$tree$src" log -1 --format='%h %s' | cut -c1-70)"
took "tree made"

in_clone install-deps.log scripts/install-deps.sh
grep -E '^install-deps:' "$work/install-deps.log" || true
took "scripts/install-deps.sh done"

in_clone configure.log cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQPR_WERROR=ON -DQPR_BUILD_BENCH=ON
took "the whole build configured (tests, benchmarks)"

in_clone demo.log scripts/run-demo.sh --rounds 3
if ! grep -q '^end: 3 rounds done' "$work/demo.log"; then
  tail -n 40 "$work/demo.log"
  echo "fresh-setup: FAILED: scripts/run-demo.sh --rounds 3 did not poll 3 rounds"
  exit 1
fi
grep -E '^(── round|end:)' "$work/demo.log"
took "scripts/run-demo.sh --rounds 3 done"
