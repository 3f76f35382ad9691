# shellcheck shell=bash
# Sourced by scripts/debian-tree.sh and scripts/install-test.sh: running
# commands in a Debian tree, and the mounts they need (each one recorded in
# the caller's "mounts" array, which the caller unmounts in its EXIT trap).

# in_tree TREE COMMAND...: COMMAND inside TREE with a clean environment.
in_tree() {
  local tree=$1; shift
  chroot "$tree" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 "$@"
}

bind_into() {
  mkdir -p "$2" && mount --bind "$1" "$2" && mounts+=("$2")
}

# Downloaded packages and indexes come from, and stay in, the cache.
mount_apt_caches() {
  local tree=$1 cache=$2
  bind_into "$cache/apt-archives" "$tree/var/cache/apt/archives"
  bind_into "$cache/apt-lists" "$tree/var/lib/apt/lists"
}

# /proc, and /dev with the pseudo-terminals the built-in simulator opens.
mount_system() {
  local tree=$1
  mount -t proc proc "$tree/proc" && mounts+=("$tree/proc")
  bind_into /dev "$tree/dev"
  bind_into /dev/pts "$tree/dev/pts"
}

# Everything mounted so far comes off, last first.
unmount_all() {
  local k
  for ((k = ${#mounts[@]} - 1; k >= 0; k--)); do umount -l "${mounts[k]}" 2>/dev/null || true; done
  mounts=()
}

# The certificate authorities this machine adds to Debian's own
# (/usr/local/share/ca-certificates) are trusted in TREE too, as on any machine
# of this network: without them the tree's downloads (npm's registry) are
# refused. Installs ca-certificates in TREE for that.
trust_local_cas() {
  local tree=$1
  mkdir -p "$tree/usr/local/share/ca-certificates"
  if [ -d /usr/local/share/ca-certificates ]; then
    cp -R /usr/local/share/ca-certificates/. "$tree/usr/local/share/ca-certificates/"
  fi
  in_tree "$tree" apt-get install -y -qq --no-install-recommends ca-certificates >/dev/null 2>&1 &&
    in_tree "$tree" update-ca-certificates >/dev/null
}
