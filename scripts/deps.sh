#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, when
# any of them is missing.  Safe to run again; does nothing when all are there.
set -euo pipefail

packages=(cmake g++ clang pkg-config libtirpc-dev libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev
          libbenchmark-dev valgrind python3
          # the Python module (python/)
          python3-dev pybind11-dev
          # the manual pages (made by scdoc, checked by mandoc and man)
          scdoc mandoc man-db
          # packages (scripts/package.sh, package-check.sh, debian/) and the ABI (scripts/abi.sh)
          dpkg-dev debhelper dh-python devscripts file lintian abigail-tools autopkgtest)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
