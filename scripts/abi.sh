#!/usr/bin/env bash
# The ABI of the five shared libraries against the baseline committed in abi/
# (one lib<name>.abi per library, written by abidw).
#
#   scripts/abi.sh check [build-dir]   compares the libraries with abi/; any
#                                      difference fails, compatible or not
#   scripts/abi.sh update              rewrites abi/ from a fresh build
#
# check uses the libraries of build-dir when given (building them there if
# needed), else a fresh build; update always builds afresh.  A fresh build is
# RelWithDebInfo in a temporary directory, with the source directory mapped to
# "." in the debug information so that the baseline does not depend on where
# the tree is.  The ABI covers what the installed headers declare: the
# exported routines with their symbol versions, and every type the headers
# define, whether an exported routine reaches it or not (the message API's
# parcel_<msg>_t, the record classes, and heapkit's goheap_region and block
# header, which heapkit.h's inline allocator reads).  See docs/releasing.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-}
[[ $mode == check || $mode == update ]] || { echo "usage: $0 check|update [build-dir]" >&2; exit 2; }
[[ $mode == check || $# -lt 2 ]] || { echo "$0: update always builds afresh" >&2; exit 2; }
libraries=(parcel fieldcodec heapkit taskbase hostshim)
work=$(mktemp -d "${TMPDIR:-/tmp}/parcel-abi.XXXXXX")
trap 'rm -rf "$work"' EXIT
build=${2:-$work/build}

"$root/scripts/deps.sh"
if [[ ! -f $build/CMakeCache.txt ]]; then
  map="-ffile-prefix-map=$root/=./"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS="$map" \
    -DCMAKE_CXX_FLAGS="$map" -DPARCEL_SANITIZE= -DPARCEL_BUILD_TESTS=OFF -DPARCEL_BUILD_TOOL=OFF \
    -DPARCEL_BUILD_BENCH=OFF >/dev/null
fi
# A sanitizer build is not what ships: under AddressSanitizer, for one,
# heapkit's allocator is out of line and the record misses its layouts.
if grep -Eq '^PARCEL_SANITIZE:STRING=.+|^PARCEL_BUILD_FUZZ:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "abi: $build is built with sanitizers; check a plain RelWithDebInfo build" >&2
  exit 2
fi
cmake --build "$build" -j"$(nproc)" --target "${libraries[@]}" >/dev/null
# The installed headers tell abidw which types are public.
cmake --install "$build" --prefix "$work/stage" --component dev >/dev/null
headers=$work/stage/include/parcel

mkdir -p "$work/abi"
status=0
for library in "${libraries[@]}"; do
  file=$(find "$build" -name "lib$library.so" -print -quit)
  [[ -n $file ]] || { echo "abi: lib$library.so not found in $build" >&2; exit 1; }
  [[ $(readelf -S --wide "$file") == *" .debug_info "* ]] ||
    { echo "abi: lib$library.so has no debug information (build with RelWithDebInfo)" >&2; exit 1; }
  abi=$work/abi/lib$library.abi
  abidw --out-file "$abi" --load-all-types --headers-dir "$headers" --drop-private-types \
    --no-corpus-path --no-comp-dir-path --no-show-locs --type-id-style hash "$file"
  if [[ $mode == update ]]; then
    continue
  fi
  baseline=$root/abi/lib$library.abi
  [[ -f $baseline ]] || { echo "abi: no baseline $baseline (scripts/abi.sh update)" >&2; exit 1; }
  # Every kind of change counts, types that no routine reaches included; the
  # exit status is a bit set: 1 error, 2 usage, 4 change, 8 incompatible change.
  if report=$(abidiff --non-reachable-types --harmless --no-show-locs "$baseline" "$abi"); then
    echo "lib$library: as recorded in abi/"
  else
    code=$?
    echo "lib$library: differs from abi/lib$library.abi (abidiff status $code)"
    echo "$report"
    status=1
  fi
done

if [[ $mode == update ]]; then
  mkdir -p "$root/abi"
  cp "$work"/abi/*.abi "$root/abi/"
  echo "abi: baseline rewritten in abi/; review it with git diff and commit it"
elif ((status)); then
  echo "abi: the ABI changed.  If that is intended, follow docs/releasing.md and run scripts/abi.sh update" >&2
fi
exit $status
