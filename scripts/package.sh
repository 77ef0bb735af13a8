#!/usr/bin/env bash
# Builds the Debian packages libparcel1, libparcel-dev and parcel-tools with
# CPack into dist/ (see cmake/packaging.cmake), then runs lintian on each.
#   scripts/package.sh [build-dir]        (default build dir: build-package)
# The build is configured for /usr and Debian's multiarch library directory,
# not relocatable (no RUNPATH, parcel.pc naming /usr), with the compiler and
# linker flags of dpkg-buildflags (hardening included); the packaged files are
# stripped.  Fails when lintian reports an error; the warnings that remain
# are explained in docs/releasing.md.
#
# The packages are reproducible: the same commit gives the same bytes from
# any checkout path, build directory, umask or day (scripts/repro-check.sh
# proves it in CI).  Every date in them (file times, the changelog, the
# manual page) is SOURCE_DATE_EPOCH: taken from the environment when set,
# else the time of the last commit, else (a tree exported by git archive,
# which dates every file by that commit) the time of CHANGELOG.md.  The
# source and build directories are mapped to "." in the debug information
# that the build IDs are computed over, and the binaries are linked with
# their install RPATH (none) from the start, so that no build-tree RPATH,
# removed at install, is left sizing their string tables.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd -P)
build=$(realpath -m "${1:-$root/build-package}") # cpack runs inside it
dist=$root/dist
cd "$root" # dpkg-buildflags maps the current directory to "."

if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  if [[ $(git -C "$root" rev-parse --show-toplevel 2>/dev/null) == "$root" ]]; then
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
  else
    SOURCE_DATE_EPOCH=$(stat -c %Y "$root/CHANGELOG.md")
  fi
fi
export SOURCE_DATE_EPOCH
echo "== SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH"))"
# The modes of the staged files and of the .deb's own members follow the
# umask; fix it, as dpkg-buildpackage does.
umask 022

"$root/scripts/deps.sh"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# dpkg-buildflags maps the source tree to "."; the build directory is mapped
# likewise, and since the last matching map wins, also when it lies inside
# the source tree.
prefix_maps="-ffile-prefix-map=$build=."
# A fresh cache each time: CMake reads CFLAGS and the others into a new
# cache only, and an old one would keep an earlier build's flags.
CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS) $prefix_maps" \
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS) $prefix_maps" \
LDFLAGS=$(dpkg-buildflags --get LDFLAGS) \
  cmake --fresh -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DPARCEL_RELOCATABLE=OFF -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON -DPARCEL_WERROR=ON -DPARCEL_SANITIZE= \
    -DPARCEL_BUILD_TESTS=OFF -DPARCEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

rm -rf "$build/packages"
(cd "$build" && cpack -G DEB -B "$build/packages")
mkdir -p "$dist"
rm -f "$dist"/*.deb
cp "$build"/packages/*.deb "$dist/"

echo "== lintian"
for deb in "$dist"/*.deb; do
  dpkg-deb --field "$deb" Package Version Depends
  lintian --fail-on error --info "$deb"
done
