#!/usr/bin/env bash
# Builds the library and runs a round trip: a record through encode, decode
# into an arena, clone and free; then a message through the C message API.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target round_trip message_api_example >/dev/null
"$build/examples/round_trip"
"$build/examples/message_api_example"
