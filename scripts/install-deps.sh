#!/usr/bin/env bash
# Installs what the README's commands need on Debian 12: the build and test
# packages, the packaging tools, the armhf cross build (compiler, qemu-user and
# the :armhf libraries), Node.js with npm, and the page test's npm modules.
# Safe to run again: what is present is skipped.
#
# A package index that fails to download is reported and set-up goes on with
# the others. The native packages are installed before, and apart from, the
# armhf ones, so a failing armhf install never costs the native build. An
# install that fails is tried again once after a fresh `apt-get update`; what
# still cannot be installed is named, with the step that needs it, on the last
# line, and the exit status is 1.
set -uo pipefail

usage() {
  cat <<'EOF'
Usage: scripts/install-deps.sh [--native-only] [--help]
Installs the Debian packages, Node.js/npm and npm modules the build, tests,
packaging and armhf cross build need (as root, or through sudo).
  --native-only  leave out the armhf cross build (compiler, qemu-user, :armhf libraries)
  --help         show this help
Exit status: 0 all present, 1 something could not be installed (named on the
last line), 2 bad usage.
EOF
}

native_only=0
for arg in "$@"; do
  case "$arg" in
    --native-only) native_only=1 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "install-deps: unknown option '$arg' (see --help)" >&2; exit 2 ;;
  esac
done

SUDO=()
if [ "$(id -u)" -ne 0 ]; then SUDO=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 2

# What each step of the README needs, by the name the last line uses for it.
declare -A need=(
  [build]="build-essential cmake pkg-config git ccache libjs-chart.js
           libboost-dev libboost-date-time-dev libboost-program-options-dev
           libjsoncpp-dev libfmt-dev libmosquitto-dev libsnmp-dev
           libgtest-dev libgmock-dev libbenchmark-dev"
  [checks]="clang-14 libclang-rt-14-dev llvm-14 valgrind"
  [tools tests]="socat mosquitto mosquitto-clients nut-client prometheus chromium curl fonts-wqy-microhei python3-jinja2 tshark
           snmpd snmp snmptrapd smitools"
  [packaging]="dpkg-dev file help2man lintian debootstrap systemd-container ca-certificates"
  [armhf cross build]="crossbuild-essential-armhf qemu-user
           libjsoncpp-dev:armhf libboost-dev:armhf libboost-date-time-dev:armhf
           libboost-program-options-dev:armhf libfmt-dev:armhf libgtest-dev:armhf
           libgmock-dev:armhf libmosquitto-dev:armhf"
)
native_steps=(build checks "tools tests" packaging)
armhf_step="armhf cross build"
page_step="page test"
native_arch=$(dpkg --print-architecture)

# A name without ":arch" means the native (or "all") package: an unqualified
# query also matches the :armhf copy, which must not count as the native one.
missing() {
  local p want_arch
  for p in "$@"; do
    case "$p" in *:*) want_arch=${p#*:} ;; *) want_arch="$native_arch|all" ;; esac
    grep -Eq "^($want_arch) install ok installed$" <<<"$(dpkg-query -W -f='${Architecture} ${Status}\n' "$p" 2>/dev/null)" ||
      echo "$p"
  done
}

# Node.js 18 or later with npm (puppeteer-core needs 18): Debian's when there
# is none, or an older one; a newer Node.js already here is kept.
node_major() { node --version 2>/dev/null | sed -n 's/^v\([0-9]*\)\..*/\1/p'; }
node_pkgs() {
  local major
  major=$(node_major)
  if [ -z "$major" ] || [ "$major" -lt 18 ]; then echo nodejs npm
  elif ! command -v npm >/dev/null; then echo npm
  fi
}

failed=()       # "package (step)" for the last line
refreshed=0     # the one fresh `apt-get update` after a failed install
declare -A pin=()  # package:arch -> version, for Multi-Arch: same pairs

apt_update() {
  local log rc
  log=$(mktemp)
  "${SUDO[@]}" apt-get update -qq >"$log" 2>&1
  rc=$?
  # apt exits 0 with "W:" lines for some index failures and 100 for others.
  if [ "$rc" -ne 0 ] || grep -q '^[EW]: Failed to fetch' "$log"; then
    echo "install-deps: some package indexes could not be read; going on with the others:"
    grep -Eo '^[EW]: Failed to fetch [^ ]+ +[^[]*' "$log" | sed 's/^[EW]: Failed to fetch /  /; s/ *$//'
    grep -q 'Failed to fetch' "$log" || sed 's/^/  /' "$log"
  fi
  rm -f "$log"
}

# The newest version that both architectures' indexes offer of PACKAGE.
newest_common() {
  local p=$1 v best=""
  local -A other=()
  while read -r v; do other[$v]=1; done < <(apt-cache madison "$p:armhf" 2>/dev/null | awk -F' *[|] *' '{ print $2 }')
  while read -r v; do
    [ -n "${other[$v]:-}" ] || continue
    if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
  done < <(apt-cache madison "$p:$native_arch" 2>/dev/null | awk -F' *[|] *' '{ print $2 }')
  echo "$best"
}

# Reads apt's account of a failed install and pins each Multi-Arch: same
# package it names whose installed native version no armhf index offers:
# both copies must have one version, so both go to the newest version that
# both architectures offer. The installed Multi-Arch: same packages built from
# the same source at the same version (libssl-dev beside libssl3) follow the
# native one, or apt would have to remove them. Succeeds when it pinned
# anything new.
pin_multiarch_pairs() {
  local log=$1 name p installed common sibling added=1
  # shellcheck disable=SC2013  # package names, one a word
  for name in $(grep -E 'Depends:|Breaks:|Conflicts:|is to be installed|not going to be installed' "$log" |
                grep -Eo '[a-z0-9][a-z0-9+.-]+:armhf' | sort -u); do
    p=${name%:armhf}
    [ -z "${pin[$p:armhf]:-}" ] || continue
    multiarch_same "$p" || continue
    installed=$(dpkg-query -W -f='${Version}' "$p:$native_arch" 2>/dev/null) || continue
    [ -n "$installed" ] || continue
    if offered "$p:armhf" "$installed"; then continue; fi
    common=$(newest_common "$p")
    if [ -z "$common" ]; then
      echo "install-deps: $p is $installed here and no version of it is offered for both $native_arch and armhf"
      continue
    fi
    echo "install-deps: $p is $installed here, which no armhf index offers;" \
      "installing $p and $p:armhf $common (the newest both architectures offer)"
    pin[$p:$native_arch]=$common
    pin[$p:armhf]=$common
    added=0
    for sibling in $(same_source_installed "$p" "$installed"); do
      if [ -n "${pin[$sibling:$native_arch]:-}" ] || ! multiarch_same "$sibling" ||
         ! offered "$sibling:$native_arch" "$common"; then continue; fi
      echo "install-deps: $sibling (from the same source) goes to $common with it"
      pin[$sibling:$native_arch]=$common
    done
  done
  return $added
}

# (Whole outputs are read before grep: with pipefail, a grep -q that stops
# early fails the pipeline through the writer's SIGPIPE.)
multiarch_same() { grep -qx 'Multi-Arch: same' <<<"$(apt-cache show "$1:$native_arch" 2>/dev/null)"; }
# offered PACKAGE:ARCH VERSION: an index offers that version.
offered() { grep -qxF "$2" <<<"$(apt-cache madison "$1" 2>/dev/null | awk -F' *[|] *' '{ print $2 }')"; }
# The other installed native packages built from PACKAGE's source at VERSION.
same_source_installed() {
  local p=$1 version=$2 src
  src=$(dpkg-query -W -f='${Source}' "$p:$native_arch" 2>/dev/null); src=${src%% *}; src=${src:-$p}
  dpkg-query -W -f='${Package} ${Architecture} ${Version} ${Source}\n' 2>/dev/null |
    awk -v src="$src" -v v="$version" -v a="$native_arch" -v self="$p" \
      '{ s = ($4 == "" ? $1 : $4) } $1 != self && $2 == a && $3 == v && s == src { print $1 }'
}

# apt_install LOG [-s] PACKAGE...: apt-get install with the pins; LOG gets
# apt's messages; -s only simulates. --no-remove: set-up never takes away
# what is installed.
apt_install() {
  local log=$1; shift
  local args=() k
  if [ "${1:-}" = -s ]; then args+=(-s); shift; fi
  for k in "${!pin[@]}"; do args+=("$k=${pin[$k]}"); done
  [ ${#pin[@]} -eq 0 ] || args+=(--allow-downgrades)
  "${SUDO[@]}" apt-get install -y -q --no-install-recommends --no-remove "${args[@]}" "$@" >"$log" 2>&1
}

# install_set LABEL PACKAGE...: installs the packages; on failure pins
# Multi-Arch: same pairs, reads the indexes again (once in a run), and in the
# end installs each package that can be and records the others, each with the
# step that needs it, for the last line.
install_set() {
  local label=$1; shift
  local log p ok=()
  log=$(mktemp)
  echo "installing ($label): $*"
  for _ in 1 2 3 4; do
    if apt_install "$log" "$@"; then rm -f "$log"; return 0; fi
    if pin_multiarch_pairs "$log"; then continue; fi
    [ "$refreshed" -eq 0 ] || break
    refreshed=1
    echo "install-deps: installing the $label packages failed; reading the package indexes again"
    apt_update
  done
  grep -E '^(E:| [^ ].* : )' "$log" | sed 's/^/  /'
  # One by one (apt only simulates), to install all that can be and name the rest.
  for p in "$@"; do
    if apt_install /dev/null -s "$p"; then ok+=("$p"); else failed+=("$p (${step_of[$p]})"); fi
  done
  if [ ${#ok[@]} -gt 0 ] && ! apt_install "$log" "${ok[@]}"; then
    grep '^E:' "$log" | sed 's/^/  /'
    for p in "${ok[@]}"; do failed+=("$p (${step_of[$p]})"); done
  fi
  rm -f "$log"
  return 1
}

# Sourced (tests/setup/install-deps-test.sh): the functions only.
[[ "${BASH_SOURCE[0]}" == "$0" ]] || return 0

steps=("${native_steps[@]}")
if [ "$native_only" -eq 0 ]; then
  steps+=("$armhf_step")
  if ! grep -qx armhf <<<"$(dpkg --print-foreign-architectures)"; then
    "${SUDO[@]}" dpkg --add-architecture armhf
  fi
fi

declare -A step_of=()
native_todo=() armhf_todo=() page_todo=()
for step in "${steps[@]}"; do
  # shellcheck disable=SC2086  # the lists are words
  for p in $(missing ${need[$step]}); do
    step_of[$p]=$step
    if [ "$step" = "$armhf_step" ]; then armhf_todo+=("$p"); else native_todo+=("$p"); fi
  done
done
for p in $(node_pkgs); do step_of[$p]=$page_step; page_todo+=("$p"); done

if [ $(( ${#native_todo[@]} + ${#armhf_todo[@]} + ${#page_todo[@]} )) -eq 0 ]; then
  echo "all packages present"
else
  apt_update
  # The native packages first and apart: the armhf ones may fail on their own.
  [ ${#native_todo[@]} -eq 0 ] || install_set native "${native_todo[@]}"
  [ ${#page_todo[@]} -eq 0 ] || install_set "$page_step" "${page_todo[@]}"
  [ ${#armhf_todo[@]} -eq 0 ] || install_set armhf "${armhf_todo[@]}"
fi

# The status page test drives Debian's chromium through puppeteer-core (from
# npm, pinned by tests/tools/browser/package-lock.json; it downloads no browser).
browser_dir=tests/tools/browser
if [ ! -d "$browser_dir/node_modules/puppeteer-core" ]; then
  major=$(node_major)
  if [ -z "$major" ] || [ "$major" -lt 18 ] || ! command -v npm >/dev/null; then
    [[ " ${failed[*]} " == *"($page_step)"* ]] || failed+=("Node.js 18 or later with npm ($page_step)")
  elif ! (cd "$browser_dir" && npm ci --no-audit --no-fund); then
    failed+=("npm modules of $browser_dir ($page_step)")
  fi
fi

if [ ${#failed[@]} -gt 0 ]; then
  list=$(IFS=,; echo "${failed[*]}")
  echo "install-deps: could not install: ${list//,/, }" >&2
  exit 1
fi
