#!/usr/bin/env bash
# Cross-builds parcel, its tool and its tests for other Debian architectures
# and runs the whole suite there under qemu user emulation.
#
#   scripts/cross.sh ARCH...     e.g. s390x i386; "release" for every one of
#                                i386 armhf armel arm64 s390x ppc64el mips64el
#   scripts/cross.sh --prepare ARCH...   only installs what is missing (for
#                                the package build, scripts/package.sh)
#
# For each architecture it installs what is missing: the architecture itself
# (dpkg --add-architecture), Debian's cross compiler, qemu-user-static and the
# target's multiarch -dev packages.  Then it builds with
# cmake/toolchains/ARCH.cmake into build-cross/ARCH (warnings as errors) and
# runs ctest, which runs each target program through qemu; the tests that are
# Python scripts run on the host's interpreter and drive the target's tool
# through qemu.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

prepare_only=0
if [[ ${1:-} == --prepare ]]; then
  prepare_only=1
  shift
fi
(($#)) || { sed -n '2,16s/^# \{0,1\}//p' "$0" >&2; exit 2; }
arches=()
for arch in "$@"; do
  if [[ $arch == release ]]; then
    arches+=(i386 armhf armel arm64 s390x ppc64el mips64el)
  else
    arches+=("$arch")
  fi
done

sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
apt_get() { DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=900 -y -qq "$@"; }

# GNU triple of Debian's cross compiler for an architecture, as
# cmake/toolchains/debian-cross.cmake lists it.
triple_of() {
  awk -v arch="$1" '$1 == "\"" arch { print $2 }' "$root/cmake/toolchains/debian-cross.cmake"
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# Versions that apt can install (from an index, not only the status file)
# of the packages named, a "package version" line each, from one apt-cache
# call: the host's packages by their bare names, the target's ARCH-qualified.
installable_versions() {
  apt-cache policy "$@" 2>/dev/null | awk '
    /^[^ ].*:$/ { package = substr($0, 1, length($0) - 1); next }
    /^ +(\*\*\* )?[^ ]+ -?[0-9]+$/ { version = $(NF - 1); next }
    /^ +-?[0-9]+ / && $2 != "/var/lib/dpkg/status" { print package, version }' | sort -u
}

# The newest of the versions given, as dpkg orders them.
newest() {
  local best="" version
  for version in "$@"; do
    if [[ -z $best ]] || dpkg --compare-versions "$version" gt "$best"; then best=$version; fi
  done
  echo "$best"
}

# Multi-Arch: same packages must be installed at one version on every
# architecture.  An architecture's index may lag the host's (a security
# update built for amd64 first, an index that failed to download) or lack
# the version the host has installed, and apt then refuses.  For each such
# package among the target's dependencies that the host has too, this prints
# pins: the host's version for the target where the target's index carries
# it, else the newest version that both indexes carry, for both.
matching_pins() {
  local arch=$1 native
  shift
  native=$(dpkg --print-architecture)
  local -A host=()
  local name version
  while read -r name version; do
    host[$name]=$version
  done < <(dpkg-query -W -f='${db:Status-Abbrev}|${Multi-Arch}|${Architecture}|${Package}|${Version}\n' |
           awk -F'|' -v native="$native" '$1 ~ /^ii/ && $2 == "same" && $3 == native { print $4, $5 }')
  local shared=()
  for name in $(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
                  --no-replaces --no-enhances "$@" 2>/dev/null | grep -E "^[a-z0-9].*:$arch\$" | sort -u); do
    name=${name%:"$arch"}
    [[ -n ${host[$name]:-} ]] && shared+=("$name")
  done
  ((${#shared[@]})) || return 0
  local available
  available=$(installable_versions "${shared[@]}" "${shared[@]/%/:$arch}")
  local ours theirs common
  for name in "${shared[@]}"; do
    theirs=$(awk -v p="$name:$arch" '$1 == p { print $2 }' <<<"$available")
    if grep -qxF "${host[$name]}" <<<"$theirs"; then
      echo "$name:$arch=${host[$name]}"
      continue
    fi
    ours=$(awk -v p="$name" '$1 == p { print $2 }' <<<"$available")
    # shellcheck disable=SC2046  # versions hold no blanks
    common=$(newest $(comm -12 <(sort <<<"$ours") <(sort <<<"$theirs")))
    [[ -n $common ]] || { echo "cross: no version of $name is carried for both the host and $arch" >&2; return 1; }
    echo "$name=$common"
    echo "$name:$arch=$common"
  done
}

prepare() {
  local arch=$1 triple
  triple=$(triple_of "$arch")
  [[ -n $triple ]] || { echo "cross: no toolchain for the architecture '$arch' (cmake/toolchains)" >&2; exit 2; }
  # pkgconf:ARCH brings <triple>-pkg-config, which the package build and
  # the consumers of the packages use.
  local target=(libtirpc-dev:"$arch" libgtest-dev:"$arch" libgmock-dev:"$arch" libbenchmark-dev:"$arch"
                pkgconf:"$arch")
  local wanted=("g++-$triple" qemu-user-static "${target[@]}") missing=() package
  for package in "${wanted[@]}"; do
    installed "$package" || missing+=("$package")
  done
  ((${#missing[@]})) || return 0

  if ! dpkg --print-foreign-architectures | grep -qxF "$arch"; then
    "${sudo_cmd[@]}" dpkg --add-architecture "$arch"
  fi
  # An index that fails to download leaves the one before it; the pins
  # below then choose versions that are there.
  apt_get update || echo "cross: apt-get update reported errors; going on with the indexes it has" >&2
  local pins
  pins=$(matching_pins "$arch" "${target[@]}")
  echo "Installing for $arch: ${missing[*]}${pins:+ (matching versions: ${pins//$'\n'/ })}"
  # shellcheck disable=SC2086  # one pin a word
  apt_get install --no-install-recommends "${missing[@]}" $pins
}

"$root/scripts/deps.sh"
status=0
for arch in "${arches[@]}"; do
  echo "== $arch"
  prepare "$arch"
  ((prepare_only)) && continue
  build=$root/build-cross/$arch
  # Optimised as the native build is, without its debug information, which
  # would only lengthen the build (a failure is reproduced under qemu-<arch>
  # -g with a build of its own).
  cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DPARCEL_WERROR=ON -DPARCEL_SANITIZE= -DPARCEL_BUILD_TESTS=ON -DPARCEL_BUILD_TOOL=ON >/dev/null
  cmake --build "$build" -j"$(nproc)"
  if ! ctest --test-dir "$build" --output-on-failure -j"$(nproc)"; then
    echo "cross: the suite failed on $arch" >&2
    status=1
  fi
done
exit $status
