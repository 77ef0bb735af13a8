#!/usr/bin/env bash
# Installs the Debian packages as a user would, with apt-get: those of dist/
# (this machine's architecture, scripts/package.sh; dist/<arch>/ after
# scripts/package.sh release) and, beside them,
# libparcel1 and libparcel-dev of each ARCH given from dist/ARCH/
# (scripts/package.sh ARCH).  Multi-Arch: same lets them share /usr, and dpkg
# refuses the installation if a file they share differs between
# architectures.  Then it runs the autopkgtest tests of the source package
# (debian/tests: the consumers of scripts/install-check.sh and the examples
# of /usr/share/doc/libparcel-dev against /usr, the manual page) and, for
# each ARCH, the same cross-built against that architecture's packages and
# run under qemu.  Whatever happens, every
# package that the installation added (ours and any dependency apt-get pulled
# in) is purged again, so the machine is left as it was.  Runs as root (or
# through sudo).
#   scripts/package-check.sh [ARCH...]        e.g. i386
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive

shopt -s nullglob
dist=$root/dist
[[ -n $(echo "$dist"/*.deb) ]] || dist=$root/dist/$(dpkg --print-architecture)
debs=("$dist"/*.deb)
dsc=("$dist"/*.dsc)
((${#debs[@]} && ${#dsc[@]})) || { echo "package-check: no packages in dist/ (run scripts/package.sh)" >&2; exit 1; }
for arch in "$@"; do
  foreign=("$root/dist/$arch"/libparcel1_*.deb "$root/dist/$arch"/libparcel-dev_*.deb)
  ((${#foreign[@]} == 2)) ||
    { echo "package-check: no packages in dist/$arch/ (run scripts/package.sh $arch)" >&2; exit 1; }
  debs+=("${foreign[@]}")
done
for deb in "${debs[@]}"; do
  name=$(dpkg-deb --field "$deb" Package):$(dpkg-deb --field "$deb" Architecture)
  if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed"; then
    echo "package-check: $name is installed already; remove it first" >&2
    exit 1
  fi
done

"$root/scripts/deps.sh"
# Each foreign architecture's compiler, qemu and -dev packages, at the
# versions that its Multi-Arch: same packages share with this machine's.
(($#)) && bash "$root/scripts/cross.sh" --prepare "$@"
# What the installation adds, ours and any dependency missing, as apt-get
# plans it; exactly these are purged again.
mapfile -t added < <(apt-get install -s "${debs[@]}" | awk '$1 == "Inst" { print $2 }')
purge() {
  local present=() package status
  for package in "${added[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) && [[ $status != *not-installed ]] &&
      present+=("$package")
  done
  if ((${#present[@]})); then
    echo "== purging ${present[*]}"
    "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=900 purge -y -qq "${present[@]}" >/dev/null
  fi
}
trap purge EXIT

echo "== apt-get install ${debs[*]#"$root"/}: adds ${added[*]}"
# apt-get takes local packages by a path with a slash in it.
"${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=900 install -y -qq "${debs[@]}" >/dev/null

# The tests of the source package as it is shipped, on this machine (the
# null runner), against the packages just installed.  (With two
# architectures of libparcel-dev installed it warns that the package "is not
# installed": it asks dpkg for one status and gets two.)
echo "== autopkgtest ${dsc[0]#"$root"/}"
"${sudo_cmd[@]}" autopkgtest --no-built-binaries "${dsc[0]}" -- null

for arch in "$@"; do
  echo "== consumers for $arch, against libparcel-dev:$arch, under qemu"
  bash "$root/scripts/install-check.sh" --installed /usr --arch "$arch"
done
echo "package-check: ok"
