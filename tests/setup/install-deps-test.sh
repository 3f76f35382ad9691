#!/usr/bin/env bash
# Checks scripts/install-deps.sh's decisions against stand-in apt-cache,
# dpkg-query and apt-get that answer from small tables: which Multi-Arch: same
# packages it pins, to which version, and what its last line names when apt
# refuses packages. Needs no root and changes nothing on the machine.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
mkdir "$fake/bin"
fail=0
expect() {  # what, expected, actual
  if [ "$2" != "$3" ]; then echo "install-deps-test: $1: expected [$2], got [$3]"; fail=1; fi
}

# Tables: $fake/offered "package arch version" and $fake/installed "package
# arch version source"; $fake/refused: packages apt-get will not install.
cat >"$fake/bin/apt-cache" <<'EOF'
#!/bin/bash
case $1 in
  madison) p=${2%:*}; a=${2#*:}; awk -v p="$p" -v a="$a" '$1 == p && $2 == a { print p " | " $3 " | mirror " a }' "$FAKE/offered" ;;
  show) grep -qx "${2%:*}" "$FAKE/same" && echo 'Multi-Arch: same' ;;
esac
EOF
cat >"$fake/bin/dpkg-query" <<'EOF'
#!/bin/bash
fmt=${2#-f=}; p=${3:-}
case "$fmt" in
  *'${Source}\n'*) awk '{ print $1, $2, $3, $4 }' "$FAKE/installed" ;;
  '${Version}') awk -v p="${p%:*}" '$1 == p { print $3 }' "$FAKE/installed" ;;
  '${Source}') awk -v p="${p%:*}" '$1 == p { print $4 }' "$FAKE/installed" ;;
  *) exit 1 ;;
esac
EOF
cat >"$fake/bin/apt-get" <<'EOF'
#!/bin/bash
[ "$1" = install ] || exit 0
for a in "$@"; do
  if grep -qxF "$a" "$FAKE/refused"; then echo "E: Unable to locate package $a"; exit 100; fi
done
EOF
chmod +x "$fake/bin/"*
export FAKE=$fake PATH="$fake/bin:$PATH"

# shellcheck source=scripts/install-deps.sh
source "$here/../../scripts/install-deps.sh"
native_arch=amd64
SUDO=()

# pin_multiarch_pairs, one row a case: installed native version, versions
# offered for amd64, for armhf, and the pins expected ("-": none).
log=$fake/apt.log
echo ' libc6-dev:armhf : Depends: libq:armhf but it is not going to be installed' >"$log"
rows=(
  "1.5|1.7 1.6 1.4|1.6 1.4|libq:amd64=1.6 libq:armhf=1.6"
  "1.5|1.6 1.5|1.5 1.4|-"
  "1.5|1.9 1.10 1.10~rc1|1.10~rc1 1.9|libq:amd64=1.10~rc1 libq:armhf=1.10~rc1"
  "2:1.0|2:1.0|1.0|-"
  "1.5|1.7|1.6|-"
)
for row in "${rows[@]}"; do
  IFS='|' read -r installed native armhf want <<<"$row"
  : >"$fake/offered"
  for v in $native; do echo "libq amd64 $v" >>"$fake/offered"; done
  for v in $armhf; do echo "libq armhf $v" >>"$fake/offered"; done
  echo "libq amd64 $installed q" >"$fake/installed"
  echo libq >"$fake/same"
  pin=()
  pin_multiarch_pairs "$log" >/dev/null
  got=$(for k in "${!pin[@]}"; do echo "$k=${pin[$k]}"; done | sort | tr '\n' ' ')
  [ "$want" != - ] || want=""
  expect "pins for installed $installed, amd64 [$native], armhf [$armhf]" "$want" "${got% }"
done

# A package not Multi-Arch: same is left alone; one built from the same source
# at the same version follows the pin, one at another version does not.
printf 'libq amd64 1.6\nlibq armhf 1.6\nlibq-dev amd64 1.6\nlibq-doc amd64 1.6\nlibq-old amd64 1.6\n' >"$fake/offered"
printf 'libq amd64 1.5 q\nlibq-dev amd64 1.5 q\nlibq-doc amd64 1.5 q\nlibq-old amd64 1.4 q\n' >"$fake/installed"
printf 'libq\nlibq-dev\nlibq-old\n' >"$fake/same"
pin=()
pin_multiarch_pairs "$log" >/dev/null
expect "siblings" "libq-dev:amd64=1.6 libq:amd64=1.6 libq:armhf=1.6" \
  "$(for k in "${!pin[@]}"; do echo "$k=${pin[$k]}"; done | sort | tr '\n' ' ' | sed 's/ $//')"

# install_set: apt refuses two packages; the others are installed and the two
# are recorded with the step that needs them.
pin=() failed=() refreshed=1
printf 'clang-14\nlibfmt-dev:armhf\n' >"$fake/refused"
declare -A step_of=([cmake]=build [clang-14]=checks [libfmt-dev:armhf]="armhf cross build" [qemu-user]="armhf cross build")
install_set native cmake clang-14 >/dev/null
install_set armhf qemu-user libfmt-dev:armhf >/dev/null
expect "refused packages" "clang-14 (checks)|libfmt-dev:armhf (armhf cross build)" "$(IFS='|'; echo "${failed[*]}")"

if [ "$fail" -eq 0 ]; then echo "install-deps-test: all cases pass"; fi
exit "$fail"
