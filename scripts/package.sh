#!/usr/bin/env bash
# Builds the Debian packages libparcel1, libparcel-dev and parcel-tools with
# CPack into dist/ (see cmake/packaging.cmake), then runs lintian on each.
#   scripts/package.sh [build-dir]        (default build dir: build-package)
# The build is configured for /usr and Debian's multiarch library directory,
# not relocatable (no RUNPATH, parcel.pc naming /usr), with the compiler and
# linker flags of dpkg-buildflags (hardening included); the packaged files are
# stripped.  Fails when lintian reports an error; the warnings that remain
# are explained in docs/releasing.md.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build-package}") # cpack runs inside it
dist=$root/dist

"$root/scripts/deps.sh"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
LDFLAGS=$(dpkg-buildflags --get LDFLAGS) \
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DPARCEL_RELOCATABLE=OFF -DPARCEL_WERROR=ON -DPARCEL_SANITIZE= \
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
