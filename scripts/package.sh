#!/usr/bin/env bash
# Builds the Debian packages qpr2427k (the plug-in) and qpr2427k-tools (the
# runner as a service, the simulator) for amd64 and armhf, with Debian's build
# flags, and checks them with lintian. The .deb files land in build/packages/.
# Usage: scripts/package.sh [ARCH...]     (default: amd64 armhf)
# Needs the packages of scripts/install-deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(amd64 armhf)
native=$(dpkg --print-architecture)
jobs=${QPR_JOBS:-$(nproc)}
out=build/packages
mkdir -p "$out"

# The package that gives library $1 for the multiarch folder $2: dpkg's
# database, else a package tree among the further arguments (net-snmp's armhf
# files, which are not installed); nothing when none does.
owner() {
  local lib=$1 triplet=$2 dir p
  shift 2
  for dir in "/lib/$triplet" "/usr/lib/$triplet"; do
    p=$(dpkg -S "$dir/$lib" 2>/dev/null | head -n 1) && [ -n "$p" ] && { echo "${p%%:*}"; return; }
  done
  for p in "$@"; do [ ! -e "$p/usr/lib/$triplet/$lib" ] || { basename "$p"; return; }; done
}

# Every library a program of package $1 needs ships in it or comes from a
# package it depends on: dpkg-shlibdeps, as CPack runs it, leaves out a
# library whose package it cannot tell without a word.
check_needed() {
  local deb=$1 triplet=$2 tree libs lib pkg names
  shift 2
  tree=$(mktemp -d)
  dpkg-deb -x "$deb" "$tree"
  names=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/[ (].*//')
  libs=$({ find "$tree" -type f -exec readelf -d {} + 2>/dev/null || true; } |
    sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | sort -u)
  for lib in $libs; do
    [ -z "$(find "$tree" -name "$lib" -print -quit)" ] || continue
    pkg=$(owner "$lib" "$triplet" "$@")
    grep -qx "${pkg:-?}" <<<"$names" ||
      { echo "package: $(basename "$deb") needs $lib, from ${pkg:-no package known}, which it does not depend on" >&2
        rm -rf "$tree"; return 1; }
  done
  rm -rf "$tree"
}

for arch in "${archs[@]}"; do
  start=$(date +%s)
  triplet=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
  trees=()
  dir=build/pkg-$arch
  cross=()
  case "$arch" in
    "$native") ;;
    # net-snmp's armhf files come from their own folder (libsnmp-dev is not
    # Multi-Arch), which also gives dpkg-shlibdeps libsnmp40's shlibs file.
    armhf)
      sysroot=$(scripts/armhf-snmp-sysroot.sh) ||
        { echo "package: no net-snmp for armhf (scripts/armhf-snmp-sysroot.sh failed)" >&2; exit 1; }
      cross=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-armhf.cmake" -DQPR_ARMHF_SNMP_SYSROOT="$sysroot")
      trees=("$sysroot"/packages/*) ;;
    *) echo "package: no toolchain for $arch (amd64 or armhf)" >&2; exit 2 ;;
  esac
  echo "== packages for $arch"
  # Debian's flags for the target: hardening (fortify, stack protector, relro,
  # bind-now), and source paths mapped to "." so no build folder reaches the
  # programs. -g is left out: the packages ship stripped programs.
  flags() { DEB_HOST_ARCH=$arch DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CXXFLAGS_MAINT_STRIP=-g \
              dpkg-buildflags --get "$1" 2>/dev/null; }
  # Given through the environment, CMake adds them to the toolchain's own
  # flags; it reads them on a first configure only, hence the fresh cache
  # (the objects stay, and are rebuilt only when the flags changed).
  rm -f "$dir/CMakeCache.txt"
  CXXFLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" LDFLAGS="$(flags LDFLAGS)" \
    cmake -S . -B "$dir" "${cross[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
    -DCMAKE_INSTALL_PREFIX=/usr -DQPR_PACKAGE=ON -DQPR_BUILD_TESTS=OFF -DQPR_WERROR=ON -DQPR_SNMP=ON >/dev/null
  cmake --build "$dir" -j"$jobs"
  rm -rf "$dir/packages"
  (cd "$dir" && cpack >/dev/null)
  rm -f "$out"/qpr2427k*_"$arch".deb
  cp "$dir"/packages/*.deb "$out/"
  for deb in "$out"/qpr2427k*_"$arch".deb; do
    echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"
    dpkg-deb -f "$deb" Depends | sed 's/^/  Depends: /'
    check_needed "$deb" "$triplet" "${trees[@]}"
  done
  # Every package's runner has the SNMP subagent. dpkg-shlibdeps, as CPack
  # runs it, leaves out a library whose package it cannot tell, so the
  # dependency on the agent library is checked here, with the MIB.
  tools_deb=$(echo "$out"/qpr2427k-tools_*_"$arch".deb)
  snmp_dep='(^|, )libsnmp40 \(>= '
  [[ "$(dpkg-deb -f "$tools_deb" Depends)" =~ $snmp_dep ]] ||
    { echo "package: $(basename "$tools_deb") does not depend on libsnmp40 (the SNMP subagent's library)" >&2; exit 1; }
  grep -q ' \./usr/share/snmp/mibs/QPR2427K-MIB\.txt$' <<<"$(dpkg-deb -c "$tools_deb")" ||
    { echo "package: $(basename "$tools_deb") lacks the SNMP subagent's MIB" >&2; exit 1; }
  echo "== packages for $arch took $(( $(date +%s) - start )) s"
done

# One lintian run for all (it is slow to start). Overrides ship in the
# packages (/usr/share/lintian/overrides), each with its reason; anything else
# at warning level or above fails.
debs=()
for arch in "${archs[@]}"; do debs+=("$out"/qpr2427k*_"$arch".deb); done
lintian --fail-on error,warning --info "${debs[@]}"
echo "lintian: ${#debs[@]} packages clean"
