#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds everything with warnings as errors
# and runs every test suite. This is the command CI runs.
# Steps live in scripts/steps/ and run in name order; each prints its own
# heading. QPR_STEPS="native armhf" runs only the named ones.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for step in scripts/steps/*.sh; do
  name=$(basename "$step" .sh); name=${name#*-}
  if [ -n "${QPR_STEPS:-}" ] && [[ " $QPR_STEPS " != *" $name "* ]]; then continue; fi
  start=$(date +%s)
  bash "$step"
  echo "== step $name took $(( $(date +%s) - start )) s"
done
