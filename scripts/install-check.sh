#!/usr/bin/env bash
# Installs the package into a temporary prefix, checks what landed there, and
# builds the consumers of tests/install/ out of the source tree against it
# alone, then runs them: the message API from C (message_consumer.c, as C99
# and as C11) and the records from C++17 (record_consumer.cpp), each through
# pkg-config and through find_package(parcel), including <parcel/...> only.
# Every installed header must compile on its own with no include path but the
# prefix's include/.  The examples installed with the documentation (under
# share/doc/parcel, or share/doc/libparcel-dev from the Debian package) are
# copied out, built with find_package(parcel) and one of them with
# pkg-config as their README says, and run.  The installed parcel tool
# round-trips a message too, and tells the same version as parcel.pc.
#   scripts/install-check.sh [build-dir]
#   scripts/install-check.sh --installed PREFIX [--arch ARCH]
# Installs from build-dir (building what is missing there) when given.
# Otherwise it follows the README on a machine with only the library's build
# dependencies: a fresh build in the temporary directory, configured as if
# GoogleTest, CLI11, nlohmann-json and Google Benchmark were not installed.
# With --installed, checks what is already installed under PREFIX (/usr after
# installing the Debian packages: debian/tests, scripts/package-check.sh),
# building and installing nothing.  With --arch, the consumers are
# cross-built for that Debian architecture against its packages
# (libparcel-dev:ARCH, installed beside this machine's) with Debian's cross
# compilers, its pkg-config and cmake/toolchains/ARCH.cmake, and run under
# qemu; the tool, which is Multi-Arch: foreign, is left to the native check.
# CC/CXX choose the compilers of a native check.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/parcel-install-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
  echo "install-check: $*" >&2
  exit 1
}

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
    echo "== configuring as on a machine without the optional packages"
    cmake -S "$root" -B "$build" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON \
      -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >"$work/configure.log" ||
      { cat "$work/configure.log"; fail "configuring failed"; }
    grep -E '^-- Not building' "$work/configure.log" || true
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
  export CC=$triple-gcc CXX=$triple-g++ PKG_CONFIG=$triple-pkg-config
  run=(qemu-"$qemu"-static -L /)
  toolchain=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$arch.cmake")
fi
cc=${CC:-cc} cxx=${CXX:-c++} pkg_config=${PKG_CONFIG:-pkg-config}

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
# The public headers, and nothing that only the library's build needs.
expected="api/parcel_api.h fieldcodec.h heapkit.h hostshim.h parcel_api.h records.h records/catalogue.def
records/descriptors.h records/record.h records/records.h taskbase.h"
expected=$(xargs <<<"$expected")
installed=$(cd "$include" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | xargs)
[[ $installed == "$expected" ]] || fail "include/parcel holds: $installed; expected: $expected"
[[ -f $libdir/cmake/parcel/parcelConfig.cmake ]] || fail "no parcelConfig.cmake"
echo "headers under include/parcel, parcel.pc and the CMake package are in place"

# A prefix of its own has to be named to the compiler, pkg-config, CMake and
# the dynamic linker; /usr is found by all four as it stands.
prefix_include=() rpath=() cmake_prefix=()
if [[ $prefix != /usr ]]; then
  prefix_include=(-I"$prefix/include")
  export PKG_CONFIG_PATH=$libdir/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
  # shellcheck disable=SC2054 # one linker flag, commas and all
  rpath=(-Wl,-rpath,"$libdir")
  cmake_prefix=(-DCMAKE_PREFIX_PATH="$prefix")
fi
strict=(-pedantic -Wall -Wextra -Werror)

echo "== every header on its own, with ${prefix_include[*]:-no include path} (and libtirpc's)"
read -r -a tirpc <<<"$("$pkg_config" --cflags libtirpc)"
for header in $expected; do
  [[ $header == *.h ]] || continue
  echo "#include <parcel/$header>" |
    "$cxx" -std=c++17 "${strict[@]}" -fsyntax-only -x c++ - "${prefix_include[@]}" "${tirpc[@]}" ||
    fail "<parcel/$header> does not compile on its own as C++17"
done
for standard in c99 c11; do
  echo "#include <parcel/parcel_api.h>" | "$cc" -std=$standard "${strict[@]}" -fsyntax-only -x c - "${prefix_include[@]}" ||
    fail "<parcel/parcel_api.h> does not compile as $standard"
done
read -r -a cflags <<<"$("$pkg_config" --cflags parcel)"
printf '#include "api/parcel_api.h"\n#include "records/records.h"\n' |
  "$cxx" -std=c++17 "${strict[@]}" -fsyntax-only -x c++ - "${cflags[@]}" ||
  fail "the includes \"api/parcel_api.h\" and \"records/records.h\" fail with pkg-config's flags"
echo "all compile; so do \"api/parcel_api.h\" and \"records/records.h\" with pkg-config's flags"

echo "== consumers through pkg-config"
read -r -a libs <<<"$("$pkg_config" --libs parcel)"
echo "$pkg_config --cflags --libs parcel: ${cflags[*]} ${libs[*]}"
for standard in c99 c11; do
  "$cc" -std=$standard "${strict[@]}" "$root/tests/install/message_consumer.c" -o "$work/message_consumer_$standard" \
    "${cflags[@]}" "${libs[@]}" "${rpath[@]}"
  "${run[@]}" "$work/message_consumer_$standard"
done
"$cxx" -std=c++17 "${strict[@]}" "$root/tests/install/record_consumer.cpp" -o "$work/record_consumer" \
  "${cflags[@]}" "${libs[@]}" "${rpath[@]}"
"${run[@]}" "$work/record_consumer"

echo "== consumers through find_package(parcel)"
version=$("$pkg_config" --modversion parcel)
cmake -S "$root/tests/install" -B "$work/consumers" "${cmake_prefix[@]}" "${toolchain[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$work/consumers" >/dev/null
for consumer in message_consumer_c99 message_consumer_c11 record_consumer; do
  "${run[@]}" "$work/consumers/$consumer"
done
wrong=$((${version%%.*} + 1)).0
if cmake -S "$root/tests/install" -B "$work/wrong_major" "${cmake_prefix[@]}" "${toolchain[@]}" \
  -DPARCEL_VERSION_WANTED="$wrong" >/dev/null 2>&1; then
  fail "find_package(parcel $wrong) accepted version $version"
fi
echo "find_package(parcel $wrong) is refused by version $version"

echo "== the installed examples, with the README, docs/ and the changelog beside them"
for docdir in "$prefix/share/doc/parcel" "$prefix/share/doc/libparcel-dev" ""; do
  [[ -f $docdir/examples/CMakeLists.txt ]] && break
done
[[ -n $docdir ]] || fail "no examples under $prefix/share/doc"
for doc in README.md CHANGELOG.md docs/reference.md docs/wire-format.md; do
  compgen -G "$docdir/$doc*" >/dev/null || fail "no $doc in $docdir"
done
# A copy: the installed directory is not the user's to build in.
cp -r "$docdir/examples" "$work/examples"
cmake -S "$work/examples" -B "$work/examples/build" "${cmake_prefix[@]}" "${toolchain[@]}" \
  -DCMAKE_C_FLAGS="${strict[*]}" -DCMAKE_CXX_FLAGS="${strict[*]}" >/dev/null
cmake --build "$work/examples/build" >/dev/null
for example in message_api round_trip record_stream; do
  "${run[@]}" "$work/examples/build/$example" >/dev/null || fail "the example $example failed"
done
"$cxx" -std=c++17 "${strict[@]}" "$work/examples/record_stream.cpp" "${cflags[@]}" "${libs[@]}" "${rpath[@]}" \
  -o "$work/record_stream"
"${run[@]}" "$work/record_stream" | tail -n 1
echo "$docdir/examples: built with CMake and run; record_stream with pkg-config"

if [[ -n $arch ]]; then
  echo "install-check: ok for $arch ($(file -b "$work/record_consumer" | cut -d, -f1-2))"
  exit 0
fi

echo "== installed tool, from PATH"
if [[ ! -x $prefix/bin/parcel ]]; then
  echo "no parcel tool in $prefix/bin: it was not built"
else
  export PATH=$prefix/bin:$PATH
  parcel encode cu_vuser_msg_t text_1=installed int_value=7 | parcel decode --compact cu_vuser_msg_t
  [[ $(parcel --version) == "$version" ]] || fail "parcel --version says $(parcel --version), parcel.pc $version"
  echo "$(command -v parcel) --version: $version"
fi
echo "install-check: ok"
