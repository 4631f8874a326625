#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour sanitizers) in a folder
# of their own, seeds their corpus from the third-party meshes we hold, and runs each target for a
# while.
# Any crash, sanitizer report, broken invariant, leak or hang fails the run; the input that did it
# is kept under <build>/artifacts and named in the output.
#
# Usage: fuzz/run-fuzzers.sh [--build DIR] [--seconds N] [--seed N] [--fork N] [TARGET ...]
#   --build DIR   build folder (default: build-fuzz at the top of the source tree)
#   --seconds N   how long each target runs (default 30)
#   --seed N      libFuzzer's random seed (default: a fresh one each run)
#   --fork N      run N fuzzing processes per target (long runs on a many-core machine)
#   TARGET        fuzz_records, fuzz_numbers, fuzz_path, fuzz_engine, fuzz_preview (default: all)
# Reproduce a finding: <build>/fuzz/<target> <build>/artifacts/<target>-crash-...
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz"
seconds=30
seed=""
fork=""
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$(realpath -m "$2")"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --seed) seed="$2"; shift 2 ;;
    --fork) fork="$2"; shift 2 ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    -*) echo "run-fuzzers.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_records fuzz_numbers fuzz_path fuzz_engine fuzz_preview)

compiler="$(command -v clang++ || command -v clang++-14 || true)"
if [ -z "$compiler" ]; then
  echo "run-fuzzers.sh: clang++ is needed (Debian: apt-get install clang libclang-rt-14-dev)" >&2
  exit 1
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DJITTERFORM_FUZZ=ON -DJITTERFORM_BUILD_UI=OFF -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build "$build" --target jitterform_fuzzers
python3 "$root/fuzz/make-corpus.py" "$build/corpus"
mkdir -p "$build/artifacts"

# Leaks are looked for at the end of each target's run; one-off allocations of the Qt runtime and
# the fuzzer itself are not ours.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
failed=()
for target in "${targets[@]}"; do
  # One fuzzer a corpus folder: nothing else adds to it for -reload to pick up.
  flags=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=3072 -max_len=16400 -print_final_stats=1
         -reload=0 -artifact_prefix="$build/artifacts/$target-")
  [ -n "$seed" ] && flags+=(-seed="$seed")
  [ -n "$fork" ] && flags+=(-fork="$fork" -ignore_crashes=0)
  case "$target" in fuzz_records|fuzz_engine|fuzz_preview) flags+=(-dict="$root/fuzz/obj.dict") ;; esac
  echo "== $target: $seconds s"
  log="$build/artifacts/$target.log"
  # The guard stops a fuzzer that fails to stop itself (a hang outside any single input).
  if timeout --kill-after=30 $((seconds + 300)) "$build/fuzz/$target" "${flags[@]}" "$build/corpus/$target" \
       >"$log" 2>&1; then
    grep -E "^(Done|stat::number_of_executed_units|stat::peak_rss_mb)" "$log" || true
  else
    echo "!! $target failed; the end of its log ($log):"
    tail -n 40 "$log"
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "Fuzz targets that failed: ${failed[*]}"
  exit 1
fi
echo "All fuzz targets ran for $seconds s each without a finding."
