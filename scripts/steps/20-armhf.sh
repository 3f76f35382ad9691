#!/usr/bin/env bash
# Cross build for the 32-bit ARM board, the test suite under qemu-arm, and a
# check of the armhf qpr2427k.so (ELF32 ARM, soname, needed libraries, size).
set -euo pipefail
cd "$(dirname "$0")/../.."
echo "== armhf cross build and tests (qemu-arm)"
start=$(date +%s)

build=${QPR_ARMHF_BUILD_DIR:-build/armhf}
# QPR_ARMHF_TOOLS=ON adds the tools: they build for armhf too but double the
# compile time, and their process-level tests (label "process") start ARM
# programs themselves, which needs a binfmt handler, so they are left out; the
# runner's parts are tested in process (tools_runner_tests). The runner is built with
# its SNMP subagent, on net-snmp's armhf files that scripts/armhf-snmp-sysroot.sh
# keeps in the CI cache.
tools=${QPR_ARMHF_TOOLS:-OFF}
jobs=$(nproc)
triplet=arm-linux-gnueabihf

for tool in "$triplet-g++" "$triplet-readelf" "$triplet-strip" qemu-arm; do
  command -v "$tool" >/dev/null || { echo "armhf: $tool is missing (run scripts/install-deps.sh)"; exit 1; }
done

snmp=()
if [ "$tools" = ON ]; then
  sysroot=$(scripts/armhf-snmp-sysroot.sh) || { echo "armhf: no net-snmp for armhf"; exit 1; }
  snmp=(-DQPR_SNMP=ON -DQPR_ARMHF_SNMP_SYSROOT="$sysroot")
fi
# RelWithDebInfo on purpose: a float or double read through a misaligned
# pointer into a packed record faults on ARM only once the optimiser emits
# VLDR/LDRD for it.
cmake -S . -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-armhf.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQPR_WERROR=ON -DQPR_BUILD_TOOLS="$tools" "${snmp[@]}"
cmake --build "$build" -j"$jobs"

# No binfmt handler: a test program cannot re-execute itself, so death tests
# must fork without exec.
export GTEST_DEATH_TEST_STYLE=fast
case "$build" in /*) xml="$build/gtest-xml" ;; *) xml="$PWD/$build/gtest-xml" ;; esac
rm -rf "$xml" && mkdir -p "$xml"
export GTEST_OUTPUT="xml:$xml/"
ctest_rc=0
skip=()
if [ "$tools" = ON ]; then skip=(-LE '^process$'); fi
scripts/run-ctest.sh "$build" --output-on-failure --no-tests=error -j"$jobs" "${skip[@]}" || ctest_rc=$?

# GoogleTest cases over all programs, from each program's report.
programs=0; cases=0; failed=0; disabled=0
for f in "$xml"/*.xml; do
  [ -e "$f" ] || continue
  head=$(grep -m1 '<testsuites ' "$f")
  attr() { local v; v=$(sed -n "s/.* $1=\"\([0-9]*\)\".*/\1/p" <<<"$head"); echo "${v:-0}"; }
  programs=$((programs + 1))
  cases=$((cases + $(attr tests)))
  failed=$((failed + $(attr failures) + $(attr errors)))
  disabled=$((disabled + $(attr disabled)))
done
total=$(cd "$build" && ctest -N "${skip[@]}" | sed -n 's/^Total Tests: //p')
echo "armhf tests: $total ctest tests; GoogleTest: $programs programs, $cases cases," \
  "$failed failed, $disabled disabled"

# The plug-in library: every build makes it.
lib_rc=0
so=$(find "$build" -name qpr2427k.so \( -type f -o -type l \) -print -quit)
if [ -z "$so" ]; then
  echo "armhf qpr2427k.so: not built"
  lib_rc=1
else
  so=$(readlink -f "$so")
  echo "armhf qpr2427k.so: $so"
  header=$("$triplet-readelf" -h "$so")
  dynamic=$("$triplet-readelf" -d "$so")
  fail() { echo "armhf qpr2427k.so: $*"; lib_rc=1; }
  grep -Eq 'Class:[[:space:]]+ELF32$' <<<"$header" || fail "not ELF32"
  grep -Eq 'Machine:[[:space:]]+ARM$' <<<"$header" || fail "not an ARM object"
  grep -Eq 'Type:[[:space:]]+DYN ' <<<"$header" || fail "not a shared object"
  soname=$(sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p' <<<"$dynamic")
  [ "$soname" = "qpr2427k.so" ] || fail "SONAME is '${soname}', want 'qpr2427k.so'"
  needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic")
  echo "  NEEDED: $(tr '\n' ' ' <<<"$needed")"
  # The host process supplies the host framework; the plug-in must not name it.
  if grep -q kldhost <<<"$needed"; then fail "links the host library"; fi
  # The newest C and C++ runtime symbol versions the board's libraries must have.
  newest=$("$triplet-readelf" -V -W "$so" | { grep -oE 'Name: [A-Z]+_[0-9.]+' || true; } | cut -d' ' -f2 |
    sort -u -V | awk -F_ '{ v[$1] = $0 } END { for (k in v) print v[k] }' | sort)
  echo "  runtime versions: $(tr '\n' ' ' <<<"$newest")"
  exported=$("$triplet-readelf" --dyn-syms -W "$so" |
    awk '$5 == "GLOBAL" && $6 == "DEFAULT" && $7 != "UND" { print $8 }' | sort)
  echo "  exported: $(wc -l <<<"$exported" | tr -d ' ') ($(head -5 <<<"$exported" | tr '\n' ' '))"
  copy=$(mktemp)
  if cp "$so" "$copy" && "$triplet-strip" "$copy"; then
    echo "  size: $(stat -c %s "$so") bytes, stripped $(stat -c %s "$copy") bytes"
  else
    fail "cannot be stripped"
  fi
  rm -f "$copy"
fi

echo "armhf step: configure+build+test took $(( $(date +%s) - start )) s"
[ "$ctest_rc" -eq 0 ] || { echo "armhf: ctest failed"; exit "$ctest_rc"; }
exit "$lib_rc"
