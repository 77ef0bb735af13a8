#!/usr/bin/env bash
# Measures parcel against its anchors and fills the tables and the chart of
# docs/performance.md (its prose is written by hand).
#
#   bash scripts/bench.sh [build-dir]        (default build dir: /tmp/parcel-bench)
#
# Builds parcel_bench in Release (-O2), which first checks that the anchors
# agree on the bytes; times every case (Google Benchmark, repetitions in
# random interleaved order, medians); counts the instructions per message
# of the cu_vuser_msg_t cases under callgrind; then bench/report.py prints
# the CI guard's ratios and writes the page's tables and docs/performance.svg.
# A ratio over its limit is reported, not an error.
#
# Knobs: BENCH_MIN_TIME (seconds per repetition, 0.1), BENCH_REPETITIONS (5),
# BENCH_CALLGRIND_ITERATIONS (20000), BENCH_FILTER (regular expression of the
# cases to time, all by default).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-/tmp/parcel-bench}
min_time=${BENCH_MIN_TIME:-0.1}
repetitions=${BENCH_REPETITIONS:-5}
iterations=${BENCH_CALLGRIND_ITERATIONS:-20000}
filter=${BENCH_FILTER:-.}

"$root/scripts/deps.sh"

# The protobuf anchors are optional: without their packages the benchmark
# builds and runs without them.  The chart needs Debian's matplotlib.
missing=()
for package in libprotobuf-dev protobuf-compiler python3-matplotlib; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get -o DPkg::Lock::Timeout=900 install -y -qq "${missing[@]}" ||
    echo "Could not install them: the protobuf anchors may be left out"
fi

# What is measured is a copy of the tree taken now, so that edits made while
# the script runs do not change what is built.
tree=$build/source
commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
if [[ -n $(git -C "$root" status --porcelain --untracked-files=no -- COMMUNICATION_MSGS bench 2>/dev/null) ]]; then
  commit+=" with uncommitted changes"
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

echo "== the anchors' bytes and the allocation counts"
"$bench" --check

# Repetitions of different cases interleave, so that whatever else runs on
# the machine weighs on all of them alike.
echo "== timing (${repetitions} repetitions of at least ${min_time} s each, interleaved)"
"$bench" --benchmark_filter="$filter" --benchmark_min_time="$min_time" \
  --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
  --benchmark_enable_random_interleaving=true \
  --benchmark_out="$results/benchmark.json" --benchmark_out_format=json

echo "== instructions per message (callgrind, ${iterations} messages per case)"
"$bench" --benchmark_list_tests | grep -E '^baseline/|/cu_vuser_msg_t$' |
  "$root/scripts/callgrind-cases.sh" "$bench" "$results/callgrind" "$iterations"

/usr/bin/python3 "$tree/bench/report.py" --benchmark "$results/benchmark.json" \
  --callgrind "$results/callgrind" --iterations "$iterations" --repetitions "$repetitions" --commit "$commit" \
  --doc "$root/docs/performance.md" --chart "$root/docs/performance.svg"
/usr/bin/python3 "$tree/bench/report.py" --guard --callgrind "$results/callgrind" --iterations "$iterations" || true
