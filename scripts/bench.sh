#!/usr/bin/env bash
# Measures parcel against its anchors and rewrites docs/performance.md.
#
#   bash scripts/bench.sh [build-dir]        (default build dir: /tmp/parcel-bench)
#
# Builds parcel_bench in Release (-O2), checks that parcel, the rpcgen anchor,
# the floor codec and the message API agree on the bytes, times every case
# (Google Benchmark, repetitions in random interleaved order, medians), counts
# instructions per operation
# of the cu_vuser_msg_t cases under callgrind, then prints the ratio checks
# (PASS/FAIL) and the CI guard's ratios, and writes docs/performance.md with
# docs/performance.svg and docs/throughput.svg.  A missed ratio is reported,
# not an error.
#
# Knobs: BENCH_MIN_TIME (seconds per repetition, 0.1), BENCH_REPETITIONS (5),
# BENCH_CALLGRIND_ITERATIONS (20000), BENCH_FILTER (regular expression of the
# cases to time, all by default), BENCH_BEFORE (a benchmark JSON of the same
# cases timed with an earlier library, shown next to this run) with
# BENCH_BEFORE_LABEL (what that library was) and BENCH_BEFORE_CALLGRIND (its
# callgrind profiles, the same iterations).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-/tmp/parcel-bench}
min_time=${BENCH_MIN_TIME:-0.1}
repetitions=${BENCH_REPETITIONS:-5}
iterations=${BENCH_CALLGRIND_ITERATIONS:-20000}
filter=${BENCH_FILTER:-.}

"$root/scripts/deps.sh"

# The protobuf anchors are optional: without these packages the benchmark
# builds and runs without them.
missing=()
for package in libprotobuf-dev protobuf-compiler; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "Installing the protobuf anchors' packages: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  { "${sudo_cmd[@]}" apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"; } ||
    echo "Could not install them: the protobuf anchors are left out"
fi

# The tree measured is a copy taken now, so that edits made while the script
# runs change neither what is built and profiled nor the source lines that
# the report quotes.
tree=$build/source
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
if [[ -n $(git -C "$root" status --porcelain --untracked-files=no -- COMMUNICATION_MSGS 2>/dev/null) ]]; then
  commit+=" with uncommitted library changes"
fi
rm -rf "$tree"
mkdir -p "$tree"
tar -C "$root" --exclude=./.git --exclude='./build*' -cf - . | tar -C "$tree" -xf -

cmake -S "$tree" -B "$build/obj" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG -g" -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG -g" \
  -DPARCEL_WERROR=ON -DPARCEL_SANITIZE= -DPARCEL_BUILD_TESTS=OFF -DPARCEL_BUILD_BENCH=ON >/dev/null
cmake --build "$build/obj" -j2 --target parcel_bench
bench=$build/obj/bench/parcel_bench
results=$build/results
rm -rf "$results"
mkdir -p "$results/callgrind"

echo "== agreement on the bytes and allocation counts"
"$bench" --check

# Repetitions of different cases interleave, so that whatever else runs on
# the machine weighs on all of them alike.
echo "== timing (${repetitions} repetitions of at least ${min_time} s each, interleaved)"
"$bench" --benchmark_filter="$filter" --benchmark_min_time="$min_time" \
  --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
  --benchmark_enable_random_interleaving=true \
  --benchmark_out="$results/benchmark.json" --benchmark_out_format=json

echo "== instructions per operation (callgrind, ${iterations} operations per case)"
"$bench" --list | grep -E '^baseline/|/cu_vuser_msg_t$' |
  "$root/scripts/callgrind-cases.sh" "$bench" "$results/callgrind" "$iterations"

python3 "$tree/bench/report.py" --benchmark "$results/benchmark.json" \
  --callgrind "$results/callgrind" --iterations "$iterations" --repetitions "$repetitions" \
  --root "$tree" --commit "$commit" \
  --doc "$root/docs/performance.md" --chart "$root/docs/performance.svg" \
  --throughput-chart "$root/docs/throughput.svg" \
  ${BENCH_BEFORE:+--before "$BENCH_BEFORE" --before-label "${BENCH_BEFORE_LABEL:-an earlier commit}"} \
  ${BENCH_BEFORE_CALLGRIND:+--before-callgrind "$BENCH_BEFORE_CALLGRIND"}
