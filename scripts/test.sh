#!/usr/bin/env bash
# Builds the library and its tests with warnings as errors and runs them.
#   scripts/test.sh [build-dir]
# PARCEL_SANITIZE=address,undefined (or thread) builds with sanitizers;
# CC/CXX choose the compiler.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

"$root/scripts/deps.sh"
# The suite is the point here: configuring fails, rather than leaving tests
# out, when what they need is missing.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARCEL_WERROR=ON \
  -DPARCEL_BUILD_TESTS=ON -DPARCEL_BUILD_TOOL=ON \
  -DPARCEL_SANITIZE="${PARCEL_SANITIZE:-}" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
