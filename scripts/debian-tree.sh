#!/usr/bin/env bash
# Makes a clean Debian 12 (bookworm) tree for scripts/install-test.sh:
# debootstrap --variant=minbase, the armhf architecture added, the package
# indexes read, and systemd installed (for systemd-analyze on the unit).
# Usage: scripts/debian-tree.sh DIR        (as root; DIR must not exist)
# Downloaded packages and indexes are kept in QPR_CI_CACHE (default
# /var/cache/qpr2427k-ci) for the next run; the tree itself is made anew.
set -euo pipefail

tree=${1:?usage: scripts/debian-tree.sh DIR}
cache=${QPR_CI_CACHE:-/var/cache/qpr2427k-ci}
mirror=${QPR_DEBIAN_MIRROR:-http://deb.debian.org/debian}
[ "$(id -u)" -eq 0 ] || { echo "debian-tree: needs root (debootstrap, chroot)" >&2; exit 2; }
[ ! -e "$tree" ] || { echo "debian-tree: $tree exists" >&2; exit 2; }

mkdir -p "$cache/debootstrap" "$cache/apt-archives/partial" "$cache/apt-lists/partial"
debootstrap --variant=minbase --cache-dir="$cache/debootstrap" bookworm "$tree" "$mirror" >"$tree.debootstrap.log" 2>&1 ||
  { tail -20 "$tree.debootstrap.log"; echo "debian-tree: debootstrap failed" >&2; exit 1; }
rm -f "$tree.debootstrap.log"
cp /etc/resolv.conf "$tree/etc/resolv.conf"
# A tree lives for one run: dpkg need not sync every file it unpacks to disk.
echo force-unsafe-io >"$tree/etc/dpkg/dpkg.cfg.d/qpr2427k-unsafe-io"

mounts=()
cleanup() {
  local k
  for ((k = ${#mounts[@]} - 1; k >= 0; k--)); do umount -l "${mounts[k]}" 2>/dev/null || true; done
}
trap cleanup EXIT
# shellcheck source=scripts/tree-mounts.sh
source "$(dirname "$0")/tree-mounts.sh"
mount_apt_caches "$tree" "$cache"
mount_system "$tree"

in_tree "$tree" dpkg --add-architecture armhf
in_tree "$tree" apt-get update -qq
in_tree "$tree" apt-get install -y -qq --no-install-recommends systemd >/dev/null
