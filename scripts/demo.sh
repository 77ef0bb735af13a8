#!/usr/bin/env bash
# Builds the library and the parcel tool, then runs a round trip through the
# tool: a cu_vuser_msg_t with a few fields set is encoded (shown as hex, then
# piped as raw bytes) and decoded back into JSON.  The example programs
# follow, built as a user builds them: the library and its development files
# are installed into a temporary prefix, and the examples that it installs
# there are built against it with find_package(parcel) and run (a record
# through encode, decode into an arena, clone and free; a message through the
# C message API; messages over a socket on a record-marked stream).
#   scripts/demo.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target parcel_tool parcel_man >/dev/null
parcel=$build/tools/parcel
work=$(mktemp -d "${TMPDIR:-/tmp}/parcel-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT

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
echo "== the example programs, built against an installation in $work/prefix"
for component in libs dev; do
  cmake --install "$build" --prefix "$work/prefix" --component $component >/dev/null
done
cmake -S "$work/prefix/share/doc/parcel/examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/examples" >/dev/null
for example in round_trip message_api record_stream; do
  printf '\n$ examples/%s\n' "$example"
  "$work/examples/$example"
done
