#!/usr/bin/env bash
# The Debian packages for amd64 and armhf, lintian included (scripts/package.sh),
# and their installation test in a clean Debian 12 tree (scripts/install-test.sh).
# Waiting work runs beside compiling work: the tree is made while the amd64
# packages compile, and the amd64 installation is tested while the armhf
# packages compile.
set -euo pipefail
cd "$(dirname "$0")/../.."
echo "== Debian packages (amd64, armhf) and their installation"
start=$(date +%s)

work=$(mktemp -d /tmp/qpr2427k-step.XXXXXX)
jobs_running=()
cleanup() {
  for job in "${jobs_running[@]}"; do wait "$job" 2>/dev/null || true; done
  if ! grep -q " $work/" /proc/mounts; then rm -rf --one-file-system "$work"; fi
}
trap cleanup EXIT

scripts/debian-tree.sh "$work/root" >"$work/tree.log" 2>&1 &
tree_job=$!
jobs_running=("$tree_job")
scripts/package.sh amd64
if ! wait "$tree_job"; then
  cat "$work/tree.log"
  echo "package: the Debian tree could not be made"
  exit 1
fi
echo "package: amd64 packages and the tree ready after $(( $(date +%s) - start )) s"

scripts/install-test.sh --tree "$work/root" amd64 >"$work/amd64.log" 2>&1 &
amd64_job=$!
jobs_running=("$amd64_job")
armhf_rc=0
scripts/package.sh armhf || armhf_rc=$?
amd64_rc=0
wait "$amd64_job" || amd64_rc=$?
cat "$work/amd64.log"
[ "$armhf_rc" -eq 0 ] || { echo "package: the armhf packages failed"; exit "$armhf_rc"; }
armhf_test_rc=0
scripts/install-test.sh --tree "$work/root" armhf || armhf_test_rc=$?
echo "package step: build, lintian and installation tests took $(( $(date +%s) - start )) s"
[ "$amd64_rc" -eq 0 ] && [ "$armhf_test_rc" -eq 0 ]
