#!/usr/bin/env bash
# Installs the package into a temporary prefix, checks what landed there, and
# builds two consumers out of the source tree against it alone, then runs
# them: tests/install/message_consumer.c (the C message API, through
# pkg-config) and tests/install/record_consumer (records and the per-type
# routines from C++, through find_package(parcel)).  The installed parcel tool
# round-trips a message too, and tells the same version as parcel.pc.
#   scripts/install-check.sh [build-dir]
#   scripts/install-check.sh --installed PREFIX [--arch ARCH]
# Installs from build-dir (building what is missing there) when given, else
# from a fresh build in the temporary directory.  With --installed, checks
# what is already installed under PREFIX (/usr after installing the Debian
# packages: debian/tests, scripts/package-check.sh), building and installing
# nothing.  With --arch, the consumers are cross-built for that Debian
# architecture against its packages (libparcel-dev:ARCH, installed beside
# this machine's) with Debian's cross compiler, its pkg-config and
# cmake/toolchains/ARCH.cmake, and run under qemu; the tool, which is
# Multi-Arch: foreign, is left to the native check.  CC/CXX choose the
# compiler of a native check.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/parcel-install-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

arch="" run=()
if [[ ${1:-} == --installed ]]; then
  prefix=${2:?usage: install-check.sh --installed PREFIX [--arch ARCH]}
  if [[ ${3:-} == --arch ]]; then
    arch=${4:?usage: install-check.sh --installed PREFIX --arch ARCH}
  fi
else
  "$root/scripts/deps.sh"
  build=${1:-$work/build}
  prefix=$work/prefix
  if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARCEL_BUILD_TESTS=OFF \
      -DPARCEL_BUILD_BENCH=OFF >/dev/null
  fi
  cmake --build "$build" -j"$(nproc)" >/dev/null
  cmake --install "$build" --prefix "$prefix" >/dev/null
fi

multiarch=$(gcc -print-multiarch)
toolchain=()
if [[ -n $arch ]]; then
  # The GNU triple of the cross compiler and qemu's name for the
  # architecture, as the toolchain file's table has them.
  read -r triple multiarch qemu < <(awk -v arch="$arch" '$1 == "\"" arch { gsub(/[")]/, ""); print $2, $3, $5 }' \
    "$root/cmake/toolchains/debian-cross.cmake")
  [[ -n ${qemu:-} ]] || { echo "install-check: no toolchain for the architecture '$arch'" >&2; exit 2; }
  export CC=$triple-gcc PKG_CONFIG=$triple-pkg-config
  run=(qemu-"$qemu"-static -L /)
  toolchain=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$arch.cmake")
fi

fail() {
  echo "install-check: $*" >&2
  exit 1
}

echo "== installed files"
# The multiarch directory first: other architectures' packages install
# their own parcel.pc beside this one's.
for libdir in "$prefix/lib/$multiarch" "$prefix"/lib64 "$prefix"/lib ""; do
  [[ -f $libdir/pkgconfig/parcel.pc ]] && break
done
[[ -n $libdir ]] || fail "no parcel.pc installed"
include=$prefix/include/parcel
for library in parcel fieldcodec heapkit taskbase hostshim; do
  real=$(readlink -f "$libdir/lib$library.so") || fail "lib$library.so is missing"
  soname=$(readelf -d "$real" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
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

# A prefix of its own has to be named to pkg-config, CMake and the dynamic
# linker; /usr is found by all three as it stands.
rpath=() cmake_prefix=()
if [[ $prefix != /usr ]]; then
  export PKG_CONFIG_PATH=$libdir/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
  # shellcheck disable=SC2054 # one linker flag, commas and all
  rpath=(-Wl,-rpath,"$libdir")
  cmake_prefix=(-DCMAKE_PREFIX_PATH="$prefix")
fi

echo "== C consumer through pkg-config"
pkg_config=${PKG_CONFIG:-pkg-config}
read -r -a flags <<<"$("$pkg_config" --cflags --libs parcel)"
echo "$pkg_config --cflags --libs parcel: ${flags[*]}"
"${CC:-cc}" -std=c11 -Wall -Wextra -Werror "$root/tests/install/message_consumer.c" -o "$work/message_consumer" \
  "${flags[@]}" "${rpath[@]}"
"${run[@]}" "$work/message_consumer"

echo "== C++ consumer through find_package(parcel)"
version=$("$pkg_config" --modversion parcel)
cmake -S "$root/tests/install/record_consumer" -B "$work/record_consumer" "${cmake_prefix[@]}" "${toolchain[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$work/record_consumer" >/dev/null
"${run[@]}" "$work/record_consumer/record_consumer"
wrong=$((${version%%.*} + 1)).0
if cmake -S "$root/tests/install/record_consumer" -B "$work/wrong_major" "${cmake_prefix[@]}" "${toolchain[@]}" \
  -DPARCEL_VERSION_WANTED="$wrong" >/dev/null 2>&1; then
  fail "find_package(parcel $wrong) accepted version $version"
fi
echo "find_package(parcel $wrong) is refused by version $version"

if [[ -n $arch ]]; then
  echo "install-check: ok for $arch ($(file -b "$work/message_consumer" | cut -d, -f1-2))"
  exit 0
fi

echo "== installed tool, from PATH"
export PATH=$prefix/bin:$PATH
parcel encode cu_vuser_msg_t text_1=installed int_value=7 | parcel decode --compact cu_vuser_msg_t
[[ $(parcel --version) == "$version" ]] || fail "parcel --version says $(parcel --version), parcel.pc $version"
echo "$(command -v parcel) --version: $version"
echo "install-check: ok"
