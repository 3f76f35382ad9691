#!/usr/bin/env bash
# Checks the built plug-in library: its SONAME, and that get_providers is the
# only dynamic symbol it defines. Works on any ELF target (readelf and nm read
# foreign objects; the cross tools are passed in when set).
# Usage: check_exports.sh READELF NM LIBRARY
set -euo pipefail
readelf=$1 nm=$2 lib=$3
status=0

dynamic=$("$readelf" -d "$lib")
soname=$(sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p' <<<"$dynamic")
if [ "$soname" != "qpr2427k.so" ]; then
  echo "FAIL: SONAME is '$soname', want 'qpr2427k.so'"; status=1
fi

# Defined dynamic symbols, less the linker's own markers and version nodes.
own=$("$nm" -D --defined-only "$lib" | awk '
  $2 == "A" { next }                                   # version nodes
  $3 ~ /^(_init|_fini|_edata|_end|__bss_start|__bss_start__|__bss_end__|__end__|_bss_end__)$/ { next }
  { print $3 }' | sort)
if [ "$own" != "get_providers" ]; then
  echo "FAIL: symbols of its own: $(tr '\n' ' ' <<<"$own"), want only get_providers"; status=1
fi
undefined=$("$nm" -D --undefined-only "$lib")
if ! grep -q 'PMBusProtocol' <<<"$undefined"; then
  echo "FAIL: the host's symbols are not left to the loading process"; status=1
fi
if grep -q 'NEEDED.*kldhost' <<<"$dynamic"; then
  echo "FAIL: the library names the host library"; status=1
fi

[ $status -eq 0 ] && echo "qpr2427k.so: SONAME $soname, exports get_providers only"
exit $status
