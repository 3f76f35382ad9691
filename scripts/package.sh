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
    # The armhf package's runner has no SNMP subagent: its dependencies come from
    # dpkg-shlibdeps, which needs libsnmp40:armhf installed to name it.
    armhf) cross=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-armhf.cmake" -DQPR_SNMP=OFF) ;;
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
    -DCMAKE_INSTALL_PREFIX=/usr -DQPR_PACKAGE=ON -DQPR_BUILD_TESTS=OFF -DQPR_WERROR=ON >/dev/null
  cmake --build "$dir" -j"$jobs"
  rm -rf "$dir/packages"
  (cd "$dir" && cpack >/dev/null)
  rm -f "$out"/qpr2427k*_"$arch".deb
  cp "$dir"/packages/*.deb "$out/"
  for deb in "$out"/qpr2427k*_"$arch".deb; do
    echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"
    dpkg-deb -f "$deb" Depends | sed 's/^/  Depends: /'
  done
  echo "== packages for $arch took $(( $(date +%s) - start )) s"
done

# One lintian run for all (it is slow to start). Overrides ship in the
# packages (/usr/share/lintian/overrides), each with its reason; anything else
# at warning level or above fails.
debs=()
for arch in "${archs[@]}"; do debs+=("$out"/qpr2427k*_"$arch".deb); done
lintian --fail-on error,warning --info "${debs[@]}"
echo "lintian: ${#debs[@]} packages clean"
