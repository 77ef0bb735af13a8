#!/usr/bin/env bash
# Builds the Debian packages from debian/ with dpkg-buildpackage (debhelper,
# the cmake build system): libparcel1, libparcel-dev, parcel-tools and
# python3-parcel, their -dbgsym packages and, natively, the source package;
# then lintian checks them all.  Cross builds leave the Python module out
# (the nopython build profile): it is built for the build machine's Python.
#   scripts/package.sh              this machine's architecture, into dist/
#   scripts/package.sh ARCH...      each into dist/ARCH/, cross-built with
#                                   dpkg-buildpackage -aARCH unless native
#   scripts/package.sh release      the eight of the README: amd64 i386 armhf
#                                   armel arm64 ppc64el mips64el s390x
# A cross build first installs what it needs as scripts/cross.sh does (the
# architecture, Debian's cross compiler, qemu-user-static, the target's -dev
# packages); the programs that the build runs go through qemu
# (debian/rules).
#
# The build runs on a copy of the tree (as it is, uncommitted changes
# included, without .git, build directories and dist/) in a temporary
# directory, where dpkg-buildpackage leaves its files beside it.  The suite
# is left out (DEB_BUILD_OPTIONS=nocheck and the nocheck profile): it runs
# in scripts/test.sh and, for the other architectures, scripts/cross.sh.
# Set DEB_BUILD_OPTIONS (even empty) to build and run it in the package
# build as well, under qemu when cross-built.
#
# The packages are reproducible (scripts/repro-check.sh): dpkg-buildpackage
# dates everything by debian/changelog's entry (SOURCE_DATE_EPOCH), the
# flags map the build path to ".", and the umask is 022.  Fails when lintian
# reports any tag that debian/*.lintian-overrides does not override.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
native=$(dpkg --print-architecture)

arches=() into_subdirs=1
for arch in "$@"; do
  if [[ $arch == release ]]; then
    # s390x first: its index tends to lag the others', and the versions that
    # Multi-Arch: same packages share are matched to the first ones added
    # (scripts/cross.sh).
    arches+=(amd64 s390x i386 armhf armel arm64 ppc64el mips64el)
  else
    arches+=("$arch")
  fi
done
if ((${#arches[@]} == 0)); then
  arches=("$native") into_subdirs=0
fi

"$root/scripts/deps.sh"
umask 022
export DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS-nocheck}
version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
echo "== parcel $version, SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Timestamp)" \
  "(debian/changelog), DEB_BUILD_OPTIONS=$DEB_BUILD_OPTIONS"

work=$(mktemp -d "${TMPDIR:-/tmp}/parcel-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

for arch in "${arches[@]}"; do
  options=(-us -uc -j"$(nproc)")
  profiles=()
  [[ " $DEB_BUILD_OPTIONS " == *" nocheck "* ]] && profiles+=(nocheck)
  if [[ $arch == "$native" ]]; then
    options+=(--build=full)
  else
    bash "$root/scripts/cross.sh" --prepare "$arch"
    options+=(--build=any -a"$arch")
    profiles+=(cross nopython)
  fi
  if ((${#profiles[@]})); then
    options+=(-P"$(IFS=,; echo "${profiles[*]}")")
  fi

  echo "== $arch: dpkg-buildpackage ${options[*]}"
  rm -rf "${work:?}"/*
  src=$work/parcel-$version
  mkdir "$src"
  tar -C "$root" --exclude-vcs --anchored --exclude='./build*' --exclude=./dist --exclude=./out -cf - . |
    tar -x --no-same-permissions -C "$src"
  start=$SECONDS
  if ! (cd "$src" && dpkg-buildpackage "${options[@]}") >"$work/build.log" 2>&1; then
    tail -n 80 "$work/build.log"
    echo "package: the build for $arch failed" >&2
    exit 1
  fi
  echo "built in $((SECONDS - start)) s"

  if ((into_subdirs)); then
    dest=$root/dist/$arch
    rm -rf "$dest"
  else
    dest=$root/dist
    mkdir -p "$dest"
    find "$dest" -maxdepth 1 -type f -delete
  fi
  mkdir -p "$dest"
  find "$work" -maxdepth 1 -type f ! -name build.log -exec cp -t "$dest" {} +

  echo "== $arch: lintian -I -E --pedantic"
  for deb in "$dest"/*.deb; do
    dpkg-deb --field "$deb" Package Version Architecture Multi-Arch Depends | paste -sd' '
  done
  lintian -I -E --pedantic --fail-on error,warning,info,pedantic,experimental "$dest"/*.changes

  # Debian 12's hardening flags are in every binary (with bindnow, from
  # hardening=+all).  Where there is nothing for a flag to do, it is not
  # required: two libraries have no function that needs a stack protector,
  # four no call whose destination's size is known to fortify it
  # (docs/releasing.md shows how that was found), nor has the Python module
  # (its only copies are those the standard library's containers inline).
  # Control-flow protection is no Debian 12 default.
  echo "== $arch: hardening-check"
  rm -rf "$work/unpacked"
  for deb in "$dest"/libparcel1_*.deb "$dest"/parcel-tools_*.deb "$dest"/python3-parcel_*.deb; do
    if [[ -e $deb ]]; then # python3-parcel: native builds only
      dpkg-deb -x "$deb" "$work/unpacked"
    fi
  done
  declare -A waived=([libtaskbase]=--nostackprotector [libhostshim]="--nostackprotector --nofortify"
                     [libheapkit]=--nofortify [libfieldcodec]=--nofortify [libparcel]=--nofortify)
  for binary in "$work"/unpacked/usr/bin/* "$work"/unpacked/usr/lib/*/lib*.so.*.* \
                "$work"/unpacked/usr/lib/python3/dist-packages/*.so; do
    [[ -e $binary ]] || continue
    name=${binary##*/}
    waiver=${waived[${name%%.so.*}]:-}
    if [[ $name == *.cpython-*.so ]]; then
      waiver=--nofortify
    fi
    # shellcheck disable=SC2086  # options, one a word
    # (objdump, which it runs for the stack-clash check, cannot disassemble
    # most other architectures; that check is not asked for.)
    hardening-check --quiet --nocfprotection $waiver "$binary" \
      2> >(grep -v -e "can't disassemble for architecture" -e '^$' >&2)
  done
  echo "every binary has the hardening flags"
done
