#!/usr/bin/env bash
# Installs the package into a temporary prefix, checks what landed there, and
# builds two consumers out of the source tree against it alone, then runs
# them: tests/install/message_consumer.c (the C message API, through
# pkg-config) and tests/install/record_consumer (records and the per-type
# routines from C++, through find_package(parcel)).  The installed parcel tool
# round-trips a message too.
#   scripts/install-check.sh [build-dir]
# Installs from build-dir (building what is missing there) when given, else
# from a fresh build in the temporary directory.  CC/CXX choose the compiler.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/parcel-install-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
build=${1:-$work/build}
prefix=$work/prefix

"$root/scripts/deps.sh"
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARCEL_BUILD_TESTS=OFF \
    -DPARCEL_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j"$(nproc)" >/dev/null
cmake --install "$build" --prefix "$prefix" >/dev/null

fail() {
  echo "install-check: $*" >&2
  exit 1
}

echo "== installed files"
pc=$(find "$prefix" -name parcel.pc -path '*/pkgconfig/*')
[[ -n $pc ]] || fail "no parcel.pc installed"
libdir=$(dirname "$(dirname "$pc")")
include=$prefix/include/parcel
for library in parcel fieldcodec heapkit taskbase hostshim; do
  real=$(readlink -f "$libdir/lib$library.so") || fail "lib$library.so is missing"
  soname=$(objdump -p "$real" | awk '$1 == "SONAME" { print $2 }')
  [[ $soname == "lib$library.so.1" ]] || fail "lib$library has SONAME '$soname'"
  [[ -e $libdir/$soname ]] || fail "no $soname link"
  echo "lib$library: $(basename "$real"), SONAME $soname"
done
for header in records/records.h records/record.h records/catalogue.def records/descriptors.h \
              api/parcel_api.h services/services.h fieldcodec.h heapkit.h hostshim.h taskbase.h; do
  [[ -f $include/$header ]] || fail "include/parcel/$header is missing"
done
[[ -f $libdir/cmake/parcel/parcelConfig.cmake ]] || fail "no parcelConfig.cmake"
echo "headers under include/parcel, parcel.pc and the CMake package are in place"

echo "== C consumer through pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
read -r -a flags <<<"$(pkg-config --cflags --libs parcel)"
echo "pkg-config --cflags --libs parcel: ${flags[*]}"
"${CC:-cc}" -std=c11 -Wall -Wextra -Werror "$root/tests/install/message_consumer.c" -o "$work/message_consumer" \
  "${flags[@]}" -Wl,-rpath,"$(pkg-config --variable=libdir parcel)"
"$work/message_consumer"

echo "== C++ consumer through find_package(parcel)"
cmake -S "$root/tests/install/record_consumer" -B "$work/record_consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$work/record_consumer" >/dev/null
"$work/record_consumer/record_consumer"

echo "== installed tool"
"$prefix/bin/parcel" encode cu_vuser_msg_t text_1=installed int_value=7 |
  "$prefix/bin/parcel" decode --compact cu_vuser_msg_t
echo "install-check: ok"
