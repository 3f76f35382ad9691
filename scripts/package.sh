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

for arch in "${archs[@]}"; do
  start=$(date +%s)
  dir=build/pkg-$arch
  cross=()
  case "$arch" in
    "$native") ;;
    # net-snmp's armhf files come from their own folder (libsnmp-dev is not
    # Multi-Arch), which also gives dpkg-shlibdeps libsnmp40's shlibs file.
    armhf)
      sysroot=$(scripts/armhf-snmp-sysroot.sh) ||
        { echo "package: no net-snmp for armhf (scripts/armhf-snmp-sysroot.sh failed)" >&2; exit 1; }
      cross=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-armhf.cmake" -DQPR_ARMHF_SNMP_SYSROOT="$sysroot") ;;
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
