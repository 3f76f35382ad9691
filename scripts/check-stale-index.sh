#!/usr/bin/env bash
# Shows scripts/install-deps.sh on a machine where one package index cannot
# be downloaded: in a clean Debian 12 tree (scripts/debian-tree.sh) whose armhf
# packages come only from a local repository on 127.0.0.1 whose index does not
# match its Release file (as a mirror in the middle of a sync). The set-up must
# report the index, install every native package, and end with one line
# naming the armhf packages it could not install, with status 1.
# Not part of CI: it installs everything the set-up installs (minutes).
# Usage: scripts/check-stale-index.sh        (as root)
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
  "") ;;
  -h | --help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "check-stale-index: no options but --help" >&2; exit 2 ;;
esac
[ "$(id -u)" -eq 0 ] || { echo "check-stale-index: needs root (debootstrap, chroot)" >&2; exit 2; }

# shellcheck source=scripts/tree-mounts.sh
source scripts/tree-mounts.sh
work=$(mktemp -d /tmp/qpr2427k-stale.XXXXXX)
tree=$work/root
repo=$work/repo
cache=${QPR_CI_CACHE:-/var/cache/qpr2427k-ci}
mounts=()
server=""
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  unmount_all
  if ! grep -q " ${work}[/ ]" /proc/mounts; then rm -rf --one-file-system "$work"; fi
}
trap cleanup EXIT
# The tree lives in memory: unpacking it and throwing it away take no disk work.
mount -t tmpfs -o size=8G,mode=0755 qpr2427k-stale "$work" && mounts+=("$work")

echo "== a clean Debian 12 tree"
scripts/debian-tree.sh "$tree"
trust_local_cas "$tree"

# The local repository: one armhf package in its index, and a Release file
# that gives the index a size and hash it does not have.
mkdir -p "$repo/dists/bookworm/main/binary-armhf"
index=$repo/dists/bookworm/main/binary-armhf/Packages
printf 'Package: qpr-placeholder\nVersion: 1\nArchitecture: armhf\nFilename: pool/none.deb\nSize: 1\nDescription: x\n' >"$index"
{
  printf 'Suite: bookworm\nCodename: bookworm\nArchitectures: armhf\nComponents: main\nDate: %s\nSHA256:\n' \
    "$(date -u -R)"
  printf ' %s %d main/binary-armhf/Packages\n' "$(sha256sum "$index" | cut -d' ' -f1)" "$(( $(stat -c %s "$index") + 1000 ))"
} >"$repo/dists/bookworm/Release"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server --bind 127.0.0.1 --directory "$repo" "$port" >"$work/http.log" 2>&1 &
server=$!
for _ in $(seq 50); do curl -sf "http://127.0.0.1:$port/dists/bookworm/Release" >/dev/null && break; sleep 0.1; done

# Debian's mirror for the native packages only; armhf from the local repository.
mirror=$(awk '$1 == "deb" { print $2; exit }' "$tree/etc/apt/sources.list")
cat >"$tree/etc/apt/sources.list" <<EOF
deb [arch=amd64] $mirror bookworm main
deb [trusted=yes arch=armhf] http://127.0.0.1:$port bookworm main
EOF
echo "== the tree's /etc/apt/sources.list"
cat "$tree/etc/apt/sources.list"

git clone -q "$PWD" "$tree/root/qpr2427k"
mount_system "$tree"
mount_apt_caches "$tree" "$cache"
echo "== scripts/install-deps.sh in the tree"
start=$(date +%s)
rc=0
in_tree "$tree" sh -c 'cd /root/qpr2427k && scripts/install-deps.sh' >"$work/deps.log" 2>&1 || rc=$?
grep -v -E '^(added|npm|up to date)' "$work/deps.log" | grep -E '^(install|  |all )' | cut -c1-400
echo "== exit status $rc after $(( $(date +%s) - start )) s"

failures=0
check() {  # WHAT COMMAND...: COMMAND succeeds
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
native=(g++ cmake libgtest-dev libjsoncpp-dev clang-14 valgrind lintian chromium nodejs npm)
absent=()
for p in "${native[@]}"; do
  # shellcheck disable=SC2016  # a dpkg-query format
  status=$(in_tree "$tree" dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || absent+=("$p")
done
last=$(tail -n 1 "$work/deps.log")
check "the failed index is reported" grep -q 'binary-armhf/Packages.*unexpected size' "$work/deps.log"
check "native packages installed (${native[*]}); missing: ${absent[*]:-none}" test ${#absent[@]} -eq 0
check "the page test's npm modules installed" test -d "$tree/root/qpr2427k/tests/tools/browser/node_modules/puppeteer-core"
check "the last line names the armhf packages and their step" \
  grep -q '^install-deps: could not install: .*libfmt-dev:armhf (armhf cross build)' <<<"$last"
check "exit status 1" test "$rc" -eq 1
echo "check-stale-index: $failures failed"
[ "$failures" -eq 0 ]
