#!/usr/bin/env bash
# Installs the Debian packages the build, tests, cross build and tools need.
# Usage: scripts/install-deps.sh [--native-only]
# Safe to run again: packages already present are skipped by apt.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

native_pkgs=(
  build-essential cmake pkg-config
  libboost-dev libboost-date-time-dev libboost-program-options-dev
  libjsoncpp-dev libfmt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev llvm-14 socat
  valgrind
  libmosquitto-dev mosquitto mosquitto-clients
  prometheus chromium curl fonts-wqy-microhei
  dpkg-dev file help2man lintian debootstrap systemd-container
)
cross_pkgs=(crossbuild-essential-armhf qemu-user)
armhf_pkgs=(
  libjsoncpp-dev:armhf libboost-dev:armhf libboost-date-time-dev:armhf libboost-program-options-dev:armhf
  libfmt-dev:armhf libgtest-dev:armhf libgmock-dev:armhf libmosquitto-dev:armhf
)

# A name without ":arch" means the native (or "all") package: an unqualified
# query also matches the :armhf copy, which must not count as the native one.
native_arch=$(dpkg --print-architecture)
missing() {
  local out=() want_arch
  for p in "$@"; do
    case "$p" in *:*) want_arch=${p#*:} ;; *) want_arch="$native_arch|all" ;; esac
    dpkg-query -W -f='${Architecture} ${Status}\n' "$p" 2>/dev/null |
      grep -Eq "^($want_arch) install ok installed$" || out+=("$p")
  done
  echo "${out[@]:-}"
}

want=("${native_pkgs[@]}")
if [ "${1:-}" != "--native-only" ]; then
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $SUDO dpkg --add-architecture armhf
  fi
  want+=("${cross_pkgs[@]}" "${armhf_pkgs[@]}")
fi

todo=$(missing "${want[@]}")
if [ -n "$todo" ]; then
  echo "installing: $todo"
  $SUDO apt-get update -qq
  # shellcheck disable=SC2086
  $SUDO apt-get install -y -qq --no-install-recommends --no-remove $todo
else
  echo "all packages present"
fi

# The status page test drives Debian's chromium through puppeteer-core (from
# npm, pinned by tests/tools/browser/package-lock.json; it downloads no browser).
browser_dir="$(dirname "$0")/../tests/tools/browser"
if [ ! -d "$browser_dir/node_modules/puppeteer-core" ]; then
  command -v npm >/dev/null || { echo "install-deps: npm (Node.js 18 or later) is needed for the page test" >&2; exit 1; }
  (cd "$browser_dir" && npm ci --no-audit --no-fund)
fi
