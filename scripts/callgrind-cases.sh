#!/usr/bin/env bash
# Counts the instructions of benchmark cases under callgrind: each case named
# on standard input (one a line) runs for ITERATIONS messages through
# bench_drive_op, whose instructions alone are collected, into
# OUT/<case with / as __>.out.  Two cases run at a time.
#
#   scripts/callgrind-cases.sh PARCEL_BENCH OUT ITERATIONS < cases
set -euo pipefail
bench=$1 out=$2 iterations=$3
mkdir -p "$out"
profile() {
  local bench=$1 out=$2 iterations=$3 name=$4
  local file=$out/${name//\//__}
  valgrind --tool=callgrind --toggle-collect=bench_drive_op --callgrind-out-file="$file.out" \
    "$bench" --drive="$name" --iterations="$iterations" 2>"$file.log" ||
    { echo "callgrind failed on $name:"; cat "$file.log"; return 1; }
  echo "  $name"
}
export -f profile
xargs -r -P2 -I{} bash -c 'profile "$@"' _ "$bench" "$out" "$iterations" {}
