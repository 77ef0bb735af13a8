#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each one on its starting corpus.
#
#   scripts/fuzz.sh [seconds]              run every target that long, side by side (default 20)
#   scripts/fuzz.sh --coverage             report which field codec routines the
#                                          corpus reaches (no fuzzing)
#
# A longer campaign is the same command with a bigger number, e.g.
# `scripts/fuzz.sh 3600` for an hour per target.  Inputs the fuzzer finds
# interesting accumulate in $FUZZ_BUILD/corpus/<target>/ and are reused by the
# next run; an input that breaks an invariant or crashes is written to
# $FUZZ_BUILD/findings/ and the script fails.  Reproduce one with
#   $FUZZ_BUILD/fuzz/parcel_<target>_fuzzer <file>
#
# FUZZ_BUILD   build directory (default: build-fuzz in the source tree)
# FUZZ_JOBS    parallel compile jobs (default 2)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
jobs=${FUZZ_JOBS:-2}
targets=(decode message diagnose)

# The starting corpus of a target: fuzz/corpus/<target>, or for diagnose the
# cases of the wire corpus (conformance/cases), each as its type's catalogue
# position in one byte followed by the case's bytes.
starting_corpus_of() { # target
  if [[ $1 != diagnose ]]; then
    echo "$root/fuzz/corpus/$1"
    return
  fi
  python3 - "$root" "$build/starts/diagnose" <<'EOF'
import json, os, sys
root, out = sys.argv[1:]
sys.path.insert(0, os.path.join(root, 'conformance'))
from check import DEFAULT_CATALOGUE, read_catalogue
os.makedirs(out, exist_ok=True)
for position, (name, _, _) in enumerate(read_catalogue(DEFAULT_CATALOGUE)):
    with open(os.path.join(root, 'conformance', 'cases', name + '.jsonl')) as cases:
        for number, line in enumerate(cases):
            with open(os.path.join(out, f'{name}.{number}'), 'wb') as start:
                start.write(bytes([position]) + bytes.fromhex(json.loads(line)['hex']))
EOF
  echo "$build/starts/diagnose"
}

"$root/scripts/deps.sh"

configure() { # build-dir extra-cmake-args...
  local dir=$1
  shift
  CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARCEL_WERROR=ON \
    -DPARCEL_BUILD_FUZZ=ON -DPARCEL_BUILD_TESTS=OFF "$@" >/dev/null
  local names=()
  for target in "${targets[@]}"; do names+=("parcel_${target}_fuzzer"); done
  cmake --build "$dir" -j"$jobs" --target "${names[@]}" >/dev/null
}

if [[ ${1:-} == --coverage ]]; then
  # Source-based coverage of the library while the fuzzers replay the starting
  # corpus and whatever earlier runs added to $FUZZ_BUILD/corpus.
  dir=$build-coverage
  flags="-fprofile-instr-generate -fcoverage-mapping"
  configure "$dir" -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags"
  rm -f "$dir"/*.profraw
  for target in "${targets[@]}"; do
    inputs=("$(starting_corpus_of "$target")")
    [[ -d $build/corpus/$target ]] && inputs+=("$build/corpus/$target")
    LLVM_PROFILE_FILE="$dir/$target-%p.profraw" \
      "$dir/fuzz/parcel_${target}_fuzzer" -runs=0 "${inputs[@]}" >"$dir/$target.log" 2>&1
  done
  llvm-profdata-14 merge -sparse "$dir"/*.profraw -o "$dir/fuzz.profdata"
  codec=$dir/COMMUNICATION_MSGS/app/fieldcodec/libfieldcodec.so
  sources=$root/COMMUNICATION_MSGS/app/fieldcodec/src
  report=$(llvm-cov-14 report "$codec" -instr-profile="$dir/fuzz.profdata" --show-functions \
    "$sources"/*.cpp)
  echo "$report"
  # Every primitive of the eight kinds (run in decode, encode and free mode
  # through mxdr_<kind>), its length and its clone routine must be reached.
  missed=0
  for kind in int long u_int u_long float double u_hyper wrapstring; do
    for routine in "mxdr_$kind" "xdr_length_of_encoded_$kind" "mxdr_clone_$kind"; do
      line=$(grep -E "^$routine " <<<"$report" || true)
      if [[ -z $line || $(awk '{print $2 - $3}' <<<"$line") -eq 0 ]]; then
        echo "not reached: $routine"
        missed=1
      fi
    done
  done
  echo "== line coverage of the stream routines behind them"
  llvm-cov-14 show "$codec" -instr-profile="$dir/fuzz.profdata" -name-regex='run_bits|run_string' \
    "$sources"/primitives.cpp "$sources"/strings.cpp | grep -E 'XDR_(ENCODE|DECODE|FREE)'
  exit $missed
fi

seconds=${1:-20}
configure "$build"
mkdir -p "$build/findings"
# The targets run side by side, each for the whole time, so that a campaign
# takes the time of one target rather than of all of them.
fuzz_one() { # target
  local target=$1 work=$build/corpus/$1
  mkdir -p "$work"
  "$build/fuzz/parcel_${target}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
    "$work" "$(starting_corpus_of "$target")" >"$build/$target.log" 2>&1
}
echo "== fuzzing ${targets[*]} side by side for ${seconds}s"
pids=()
for target in "${targets[@]}"; do
  fuzz_one "$target" &
  pids+=($!)
done
status=0
for i in "${!targets[@]}"; do
  target=${targets[$i]}
  log=$build/$target.log
  if wait "${pids[$i]}"; then
    echo "== $target"
    grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$log"
  else
    tail -n 60 "$log"
    echo "fuzz target $target failed; the input is in $build/findings/"
    status=1
  fi
done
exit $status
