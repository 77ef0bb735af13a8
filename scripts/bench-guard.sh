#!/usr/bin/env bash
# The benchmark's guard for CI: counts the instructions of the cases that
# bench/report.py --guard-cases names (cu_vuser_msg_t against its anchors,
# a goheap per message and per batch, a message sent and received on a
# record stream) under callgrind, and fails when a ratio of bench/report.py's
# GUARDS exceeds its limit.
# Instruction counts do not depend on the load of the machine, so a few
# thousand messages per case are enough.
#
#   scripts/bench-guard.sh [build-dir]        (default: build)
#
# BENCH_GUARD_ITERATIONS sets the messages per case (4096: one call of the
# largest batch).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
iterations=${BENCH_GUARD_ITERATIONS:-4096}
bench=$build/bench/parcel_bench
[[ -x $bench ]] || { echo "bench-guard: $bench is not built (is Google Benchmark installed?)"; exit 1; }

out=$build/bench-guard
rm -rf "$out"
python3 "$root/bench/report.py" --guard-cases | "$root/scripts/callgrind-cases.sh" "$bench" "$out" "$iterations" >/dev/null
python3 "$root/bench/report.py" --guard --callgrind "$out" --iterations "$iterations"
