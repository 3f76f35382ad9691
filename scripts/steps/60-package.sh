#!/usr/bin/env bash
# The Debian packages for amd64 and armhf, lintian included (scripts/package.sh),
# and their installation test in a clean Debian 12 tree (scripts/install-test.sh).
# The tree is made while the packages compile: one waits on the network and
# the disk, the other on the processors.
set -euo pipefail
cd "$(dirname "$0")/../.."
echo "== Debian packages (amd64, armhf) and their installation"
start=$(date +%s)

work=$(mktemp -d /tmp/qpr2427k-step.XXXXXX)
scripts/debian-tree.sh "$work/root" >"$work/tree.log" 2>&1 &
tree_job=$!
cleanup() {
  wait "$tree_job" 2>/dev/null || true
  if ! grep -q " $work/" /proc/mounts; then rm -rf --one-file-system "$work"; fi
}
trap cleanup EXIT

scripts/package.sh amd64 armhf
built=$(date +%s)
if ! wait "$tree_job"; then
  cat "$work/tree.log"
  echo "package: the Debian tree could not be made"
  exit 1
fi
echo "package: packages built in $((built - start)) s; the tree was ready after $(( $(date +%s) - start )) s"
scripts/install-test.sh --tree "$work/root" amd64 armhf
echo "package step: build, lintian and installation test took $(( $(date +%s) - start )) s"
