#!/usr/bin/env bash
# Puts net-snmp's armhf development files, and the armhf libraries they link
# against that the :armhf -dev packages of scripts/install-deps.sh do not bring,
# into a folder of their own for the armhf cross build: libsnmp-dev is not
# Multi-Arch, so Debian cannot install it for armhf beside the build machine's.
# The packages are fetched with `apt-get download` (the armhf architecture must
# be added, as install-deps does) and unpacked with `dpkg-deb -x`; the .pc files
# get the folder as their prefix. libsnmp40 is also unpacked whole, control
# area included, as a package tree of its own (sysroot/packages/libsnmp40) for
# dpkg-shlibdeps when the armhf packages are built (scripts/package.sh). A
# second run with the same package list does nothing; remove DIR to fetch
# anew. Prints the sysroot's path.
#   scripts/armhf-snmp-sysroot.sh [DIR]
# DIR: default QPR_CI_CACHE/armhf-snmp (/var/cache/qpr2427k-ci as root),
# else ~/.cache/qpr2427k/armhf-snmp.
set -euo pipefail
if [ "$(id -u)" = 0 ]; then default=${QPR_CI_CACHE:-/var/cache/qpr2427k-ci}/armhf-snmp
else default=${XDG_CACHE_HOME:-$HOME/.cache}/qpr2427k/armhf-snmp; fi
dir=${1:-$default}
# The agent library, OpenSSL's headers (net-snmp's include them), and the
# libraries its shared objects need at link time (NEEDED, through -rpath-link)
# that no installed :armhf package has.
packages=(libsnmp-dev libsnmp40 libssl-dev libwrap0 libperl5.36 libsensors5 libpci3 libudev1 zlib1g)
triplet=arm-linux-gnueabihf
sysroot=$dir/sysroot
stamp=$sysroot/.packages
shlibs_tree=packages/libsnmp40
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${packages[*]}" ] && [ -s "$sysroot/$shlibs_tree/DEBIAN/shlibs" ]; then
  echo "$sysroot"; exit 0
fi

grep -qx armhf <<<"$(dpkg --print-foreign-architectures)" ||
  { echo "armhf-snmp-sysroot: the armhf architecture is not added (scripts/install-deps.sh)" >&2; exit 1; }
mkdir -p "$dir"
rm -rf "$dir/debs" "$sysroot.new"
mkdir -p "$dir/debs" "$sysroot.new"
sandbox=()
[ "$(id -u)" = 0 ] && sandbox=(-o APT::Sandbox::User=root)  # the folder need not be the _apt user's
(cd "$dir/debs" && apt-get download -q "${sandbox[@]}" "${packages[@]/%/:armhf}" >/dev/null) ||
  { echo "armhf-snmp-sysroot: apt-get download failed (${packages[*]})" >&2; exit 1; }
for deb in "$dir"/debs/*.deb; do dpkg-deb -x "$deb" "$sysroot.new"; done
# Only the shared libraries and headers are of use: no perl modules, static
# libraries, documentation or programs.
rm -rf "$sysroot.new/usr/lib/$triplet/perl" "$sysroot.new/usr/share" "$sysroot.new/usr/bin" "$sysroot.new/etc"
rm -f "$sysroot.new/usr/lib/$triplet"/*.a
lib=$sysroot.new/usr/lib/$triplet
# One include folder: the build includes only it, before the build machine's
# /usr/include (whose openssl/opensslconf.h is in its own multiarch folder).
include=$sysroot.new/usr/include
if [ -d "$include/$triplet" ]; then
  cp -a "$include/$triplet/." "$include/"
  rm -rf "${include:?}/$triplet"
fi
# One library folder, as on a merged-/usr system (zlib1g still unpacks into /lib).
if [ -d "$sysroot.new/lib/$triplet" ]; then
  cp -a "$sysroot.new/lib/$triplet/." "$lib/"
  rm -rf "$sysroot.new/lib"
fi
# The agent library's package as `dpkg-deb -R` lays it out: its libraries and
# its control area (DEBIAN/shlibs). Given this tree's library folder with -l,
# dpkg-shlibdeps finds the libraries there, finds no installed package that
# owns them, and takes the dependency from the DEBIAN/shlibs above them: the
# package's own line, version constraint included, with no libsnmp40:armhf
# installed.
tree=$sysroot.new/$shlibs_tree
mkdir -p "$tree"
dpkg-deb -R "$dir"/debs/libsnmp40_*_armhf.deb "$tree"
rm -rf "$tree/usr/share" "$tree/var"
grep -q '^libnetsnmpagent 40 libsnmp40 ' "$tree/DEBIAN/shlibs" 2>/dev/null ||
  { echo "armhf-snmp-sysroot: libsnmp40's control area names no libnetsnmpagent 40 in its shlibs" >&2; exit 1; }
for pc in "$lib"/pkgconfig/netsnmp*.pc; do sed -i "s|^prefix=/usr\$|prefix=$sysroot/usr|" "$pc"; done
grep -q "^prefix=$sysroot/usr\$" "$lib/pkgconfig/netsnmp-agent.pc" ||
  { echo "armhf-snmp-sysroot: no netsnmp-agent.pc with prefix /usr in libsnmp-dev" >&2; exit 1; }

# Every library the agent libraries need, and those need in turn, must be at
# hand: in the folder or among the installed armhf libraries.
missing=()
declare -A seen=()
todo=("$lib"/libnetsnmp*.so.40)
while [ ${#todo[@]} -gt 0 ]; do
  so=${todo[-1]}; unset 'todo[-1]'
  for need in $("$triplet-readelf" -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [ -z "${seen[$need]:-}" ] || continue
    seen[$need]=1
    if [ -e "$lib/$need" ]; then todo+=("$lib/$need")
    elif [ ! -e "/usr/lib/$triplet/$need" ] && [ ! -e "/lib/$triplet/$need" ]; then missing+=("$need"); fi
  done
done
[ ${#missing[@]} -eq 0 ] ||
  { echo "armhf-snmp-sysroot: no armhf ${missing[*]} (add its package to the list in $0)" >&2; exit 1; }
echo "${packages[*]}" >"$sysroot.new/.packages"
rm -rf "$sysroot"
mv "$sysroot.new" "$sysroot"
echo "$sysroot"
