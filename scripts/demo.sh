#!/usr/bin/env bash
# Builds the library and the parcel tool, then runs a round trip through the
# tool: a cu_vuser_msg_t with a few fields set is encoded (shown as hex, then
# piped as raw bytes) and decoded back into JSON.  The two example programs
# follow: a record through encode, decode into an arena, clone and free; then
# a message through the C message API.
#   scripts/demo.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target parcel_tool round_trip message_api_example >/dev/null
parcel=$build/tools/parcel

# Shows a command line: its words, quoted for the shell.
show() {
  printf '\n$'
  printf ' %q' "$@"
  printf '\n'
}

type=cu_vuser_msg_t
fields=(real_value=0.25 "text_1=script started" long_value_1=-7 hyper_value_1=1099511627776 int_value=42)

echo "== a round trip through the parcel tool"
show parcel length "$type" "${fields[@]}"
"$parcel" length "$type" "${fields[@]}"
show parcel encode --hex "$type" "${fields[@]}"
"$parcel" encode --hex "$type" "${fields[@]}"
printf '\n$%s |%s\n' "$(printf ' %q' parcel encode "$type" "${fields[@]}")" "$(printf ' %q' parcel decode "$type")"
"$parcel" encode "$type" "${fields[@]}" | "$parcel" decode "$type"

echo
echo "== the example programs"
"$build/examples/round_trip"
"$build/examples/message_api_example"
