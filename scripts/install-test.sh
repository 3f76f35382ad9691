#!/usr/bin/env bash
# Installs the packages of scripts/package.sh into a clean Debian 12 tree made
# with debootstrap and checks them as a user would meet them:
#  amd64: apt resolves the dependencies; the runner finds the installed plug-in
#    and settings on its own and polls 3 rounds; SIGTERM ends a run like the
#    service's with status 0 and the cache written; the unit passes
#    systemd-analyze verify, and its exposure stays low; in the booted tree
#    the service starts at boot and comes back after a crash
#    (scripts/service-test.sh; left out, in one line saying why, where
#    systemd-nspawn cannot boot a container, as in a chroot); removal keeps
#    the configuration, purge leaves nothing of the packages behind.
#  armhf: the programs are ELF32 ARM, apt resolves the dependencies against
#    Debian's armhf packages, the MIB is installed, and the packaged runner
#    offers its SNMP subagent and polls 3 rounds under qemu-arm.
# Usage: scripts/install-test.sh [--tree DIR] [amd64] [armhf]   (default: both; as root)
#   --tree DIR: a tree made by scripts/debian-tree.sh, left to the caller;
#   without it a tree is made here and removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/tree-mounts.sh
source scripts/tree-mounts.sh

work=$(mktemp -d /tmp/qpr2427k-install.XXXXXX)
tree=$work/root
remove=("$work")
if [ "${1:-}" = --tree ]; then
  tree=${2:?--tree needs a folder}
  shift 2
fi
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(amd64 armhf)
pkgs=$PWD/build/packages
cache=${QPR_CI_CACHE:-/var/cache/qpr2427k-ci}
# The unit's exposure score must stay at or below this (systemd-analyze security).
max_exposure=${QPR_MAX_EXPOSURE:-2.5}

mounts=()
cleanup() {
  unmount_all
  # Never follow a mount that failed to come off into the host's files.
  for d in "${remove[@]}"; do
    if [ -d "$d" ] && ! grep -q " $d/" /proc/mounts; then rm -rf --one-file-system "$d"; fi
  done
}
trap cleanup EXIT

[ "$(id -u)" -eq 0 ] || { echo "install-test: needs root (debootstrap, chroot)" >&2; exit 2; }
for a in "${archs[@]}"; do
  ls "$pkgs"/qpr2427k_*_"$a".deb "$pkgs"/qpr2427k-tools_*_"$a".deb >/dev/null 2>&1 ||
    { echo "install-test: no $a packages in $pkgs (run scripts/package.sh $a)" >&2; exit 2; }
done

failures=0
service_note=""
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

if [ ! -d "$tree" ]; then
  echo "== a clean Debian 12 tree (scripts/debian-tree.sh)"
  scripts/debian-tree.sh "$tree"
fi
mount_system "$tree"
mount_apt_caches "$tree" "$cache"
run() { in_tree "$tree" "$@"; }

# Every file and folder of the tree, but the ones the system itself changes
# (booting it for the service test stamps systemd's timers; netbase, which
# the SNMP library's perl brings, writes the system's /etc/hosts where a
# fresh tree has none, and leaves it as the system's own file).
listing() {
  (cd "$tree" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./sys -o -path ./run -o -path ./tmp \
      -o -path ./var/cache -o -path ./var/lib/apt -o -path ./var/lib/dpkg -o -path ./var/log \
      -o -path ./var/lib/systemd/timers -o -path ./root -o -path ./etc/ld.so.cache -o -path ./etc/hosts \) \
      -prune -o -print | sort)
}

if [[ " ${archs[*]} " == *" amd64 "* ]]; then
  echo "== amd64: install, run, remove, purge"
  listing >"$work/before.txt"
  mkdir -p "$tree/tmp/debs"
  cp "$pkgs"/qpr2427k_*_amd64.deb "$pkgs"/qpr2427k-tools_*_amd64.deb "$tree/tmp/debs/"
  if run sh -c 'cd /tmp/debs && apt-get install -y -qq ./qpr2427k_*_amd64.deb ./qpr2427k-tools_*_amd64.deb' \
      >"$work/install.log" 2>&1; then
    ok "apt installed both packages and their dependencies"
  else
    cat "$work/install.log"; fail "apt could not install the packages"
  fi

  if [ -L "$tree/etc/systemd/system/multi-user.target.wants/qpr2427k-host.service" ]; then
    ok "the service is enabled (starts at boot)"
  else
    fail "the service is not enabled"
  fi

  # No option but the rounds: the plug-in and settings from their installed places.
  if run timeout 60 qpr2427k-host --simulate --rounds 3 >"$work/run.txt" 2>&1 &&
      grep -q '^── round 3 ' "$work/run.txt" && grep -q '^end: 3 rounds done' "$work/run.txt"; then
    ok "qpr2427k-host --simulate --rounds 3 found the plug-in and settings and polled 3 rounds"
  else
    cat "$work/run.txt"; fail "qpr2427k-host --simulate --rounds 3 from the installed package"
  fi
  for prog in qpr2427k-host qpr2427k-sim; do
    version=$(run "$prog" --version 2>&1 || true)
    [[ "$version" =~ ^$prog\ [0-9]+\.[0-9]+\.[0-9]+ ]] && ok "$version" || fail "$prog --version: $version"
    run man -w "$prog" >/dev/null 2>&1 || [ -e "$tree/usr/share/man/man1/$prog.1.gz" ] || fail "no man page of $prog"
  done
  # The examples are usable as they are installed.
  run timeout 60 qpr2427k-host --simulate /usr/share/qpr2427k/examples/scenarios/normal.json --rounds 1 \
    --no-round-wait --quiet >"$work/example.txt" 2>&1 || { cat "$work/example.txt"; fail "the installed example scenario"; }

  [ -s "$tree/usr/share/qpr2427k/wireshark/qpr2427k.lua" ] && ok "the Wireshark dissector is installed" ||
    fail "no /usr/share/qpr2427k/wireshark/qpr2427k.lua"
  [ -s "$tree/usr/share/snmp/mibs/QPR2427K-MIB.txt" ] && ok "the SNMP subagent's MIB is installed" ||
    fail "no /usr/share/snmp/mibs/QPR2427K-MIB.txt"

  # As the service runs it: SIGTERM ends the run with status 0 and the cache written.
  rm -f "$tree/tmp/cache.json"
  chroot "$tree" qpr2427k-host --quiet --simulate --cache /tmp/cache.json --save-cache /tmp/cache.json \
    --no-round-wait --duration 60 >"$work/term.txt" 2>&1 &
  runner=$!
  for _ in $(seq 100); do [ -s "$tree/tmp/cache.json" ] && break; sleep 0.1; done
  kill -TERM "$runner"
  status=0; wait "$runner" || status=$?
  children=$(grep -o '"device_type"' "$tree/tmp/cache.json" 2>/dev/null | wc -l)
  if [ "$status" -eq 0 ] && [ "$children" -eq 4 ]; then
    ok "SIGTERM: status 0, the cache holds all 4 children"
  else
    cat "$work/term.txt"; fail "SIGTERM: status $status, $children children in the cache"
  fi

  # No build folder of this machine in the installed programs.
  if grep -rlaF "$PWD" "$tree"/usr/bin/qpr2427k-* "$tree"/usr/lib/*/qpr2427k; then
    fail "the installed files above name the build folder $PWD"
  else
    ok "no build folder in the installed programs"
  fi

  if run systemd-analyze verify --man=no /lib/systemd/system/qpr2427k-host.service >"$work/verify.txt" 2>&1; then
    ok "systemd-analyze verify"
  else
    cat "$work/verify.txt"; fail "systemd-analyze verify"
  fi
  security=$(run systemd-analyze security --offline=true /lib/systemd/system/qpr2427k-host.service 2>&1 | tail -1)
  exposure=$(sed -n 's/.*exposure level for qpr2427k-host.service: \([0-9.]*\).*/\1/p' <<<"$security")
  if [ -n "$exposure" ] && awk -v e="$exposure" -v m="$max_exposure" 'BEGIN { exit !(e <= m) }'; then
    ok "systemd-analyze security: $security"
  else
    echo "$security"; fail "the unit's exposure is above $max_exposure"
  fi

  # As systemd runs it, in the booted tree (which brings its own /proc and /dev).
  unmount_all
  service_rc=0
  scripts/service-test.sh "$tree" || service_rc=$?
  case $service_rc in
    0) ;;
    77) service_note=" (the service part was not run: see SKIPPED above)" ;;
    *) failures=$((failures + 1)) ;;
  esac
  mount_system "$tree"
  mount_apt_caches "$tree" "$cache"

  # Removal keeps the configuration (conffiles); purge takes everything.
  run apt-get remove -y -qq qpr2427k-tools qpr2427k >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "apt-get remove"; }
  [ -e "$tree/etc/qpr2427k/settings.json" ] && [ -e "$tree/etc/qpr2427k/options" ] &&
    [ ! -e "$tree/usr/bin/qpr2427k-host" ] && ok "remove: programs gone, configuration kept" ||
    fail "remove: the programs must go and the configuration stay"
  [ -e "$tree/var/lib/private/qpr2427k/cache.json" ] || fail "the service left no cache for the purge to remove"
  # What the packages pulled in goes with them, and so do the packages those
  # only recommend (perl and netbase, beside the SNMP agent library's perl).
  run apt-get purge -y -qq --autoremove -o APT::AutoRemove::RecommendsImportant=false \
    -o APT::AutoRemove::SuggestsImportant=false qpr2427k-tools qpr2427k >"$work/purge.log" 2>&1 ||
    { cat "$work/purge.log"; fail "apt-get purge"; }
  rm -rf "$tree/tmp/debs" "$tree/tmp/cache.json"
  listing >"$work/after.txt"
  if diff -u "$work/before.txt" "$work/after.txt" >"$work/left.txt"; then
    ok "purge: nothing of the packages is left"
  else
    cat "$work/left.txt"; fail "purge: the tree differs from before the installation"
  fi
  if run dpkg -l 'qpr2427k*' 2>/dev/null | grep -q '^[a-z][a-z] *qpr2427k'; then
    fail "dpkg still knows the packages after purge"
  fi
fi

if [[ " ${archs[*]} " == *" armhf "* ]]; then
  echo "== armhf: programs, dependencies, a run under qemu-arm"
  extract=$work/armhf
  for deb in "$pkgs"/qpr2427k_*_armhf.deb "$pkgs"/qpr2427k-tools_*_armhf.deb; do dpkg-deb -x "$deb" "$extract"; done
  plugin=$(echo "$extract"/usr/lib/arm-linux-gnueabihf/qpr2427k/qpr2427k.so)
  for elf in "$extract"/usr/bin/qpr2427k-host "$extract"/usr/bin/qpr2427k-sim "$plugin"; do
    header=$(readelf -h "$elf")
    if grep -Eq 'Class:[[:space:]]+ELF32$' <<<"$header" && grep -Eq 'Machine:[[:space:]]+ARM$' <<<"$header"; then
      ok "$(basename "$elf"): ELF32 ARM"
    else
      fail "$(basename "$elf") is not ELF32 ARM"
    fi
  done
  mkdir -p "$tree/tmp/debs"
  cp "$pkgs"/qpr2427k_*_armhf.deb "$pkgs"/qpr2427k-tools_*_armhf.deb "$tree/tmp/debs/"
  if run sh -c 'cd /tmp/debs && apt-get install --simulate ./qpr2427k_*_armhf.deb ./qpr2427k-tools_*_armhf.deb' \
      >"$work/armhf-install.log" 2>&1; then
    ok "apt resolves the armhf packages' dependencies ($(grep -c '^Inst ' "$work/armhf-install.log") packages)"
  else
    cat "$work/armhf-install.log"; fail "apt cannot resolve the armhf packages' dependencies"
  fi
  [ -s "$extract/usr/share/snmp/mibs/QPR2427K-MIB.txt" ] && ok "armhf: the SNMP subagent's MIB is in the package" ||
    fail "armhf: no /usr/share/snmp/mibs/QPR2427K-MIB.txt in the package"
  # The armhf loader and libraries of this machine (scripts/install-deps.sh),
  # and net-snmp's, which Debian cannot install here for armhf, from
  # scripts/armhf-snmp-sysroot.sh's folder; the installed-place defaults would
  # point outside the unpacked copy.
  snmp_lib=$(scripts/armhf-snmp-sysroot.sh)/usr/lib/arm-linux-gnueabihf ||
    { echo "install-test: no net-snmp for armhf (scripts/armhf-snmp-sysroot.sh failed)" >&2; exit 1; }
  qemu=(qemu-arm -E LD_LIBRARY_PATH="$snmp_lib")
  help=$("${qemu[@]}" "$extract/usr/bin/qpr2427k-host" --help 2>&1 || true)
  grep -q -- '--snmp-agentx' <<<"$help" && ok "the packaged armhf qpr2427k-host offers --snmp-agentx" ||
    { echo "$help" | tail -5; fail "the packaged armhf qpr2427k-host --help lists no --snmp-agentx"; }
  if (cd "$work" && timeout 120 "${qemu[@]}" "$extract/usr/bin/qpr2427k-host" --simulate --rounds 3 \
        --plugin "$plugin" --config "$extract/etc/qpr2427k/settings.json") >"$work/armhf-run.txt" 2>&1 &&
      grep -q '^end: 3 rounds done' "$work/armhf-run.txt"; then
    ok "the packaged armhf qpr2427k-host polled 3 rounds under qemu-arm"
  else
    cat "$work/armhf-run.txt"; fail "the packaged armhf qpr2427k-host under qemu-arm"
  fi
  version=$("${qemu[@]}" "$extract/usr/bin/qpr2427k-sim" --version 2>&1 || true)
  [[ "$version" =~ ^qpr2427k-sim\ [0-9]+\.[0-9]+\.[0-9]+ ]] && ok "armhf $version" || fail "armhf qpr2427k-sim --version: $version"
fi

echo "install-test: $failures failed$service_note"
[ "$failures" -eq 0 ]
