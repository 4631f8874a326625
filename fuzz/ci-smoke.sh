#!/usr/bin/env bash
# The test suite's short run of every fuzz target: configures and builds the clang fuzz folder on its
# own (whatever compiler the rest of the build uses), seeds the corpus, and runs each target for a
# while with a fixed random seed, so that a run in CI can be repeated as it was. A finding fails it.
# Without clang or libFuzzer's runtime it says so and exits with 77, which the test suite counts as
# skipped rather than failed.
#
# Usage: fuzz/ci-smoke.sh [--build DIR] [--seconds N]
#   --build DIR   build folder (default: build-fuzz-smoke at the top of the source tree)
#   --seconds N   time for each target (default 30, or JITTERFORM_FUZZ_SECONDS)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-fuzz-smoke"
seconds="${JITTERFORM_FUZZ_SECONDS:-30}"
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$(realpath -m "$2")"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
    *) echo "ci-smoke.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

skip() {
  echo "SKIPPED: the fuzz targets were not run: $1."
  echo "On Debian 12: apt-get install clang libclang-rt-14-dev (scripts/install-deps.sh does it)."
  exit 77
}
compiler="$(command -v clang++ || command -v clang++-14 || true)"
[ -n "$compiler" ] || skip "there is no clang++"
# The runtime comes in a package of its own; only linking a fuzz target shows that it is there.
probe="$(mktemp -d)"
trap 'rm -rf "$probe"' EXIT
echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' >"$probe/probe.cpp"
"$compiler" -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" 2>"$probe/log" ||
  skip "$compiler cannot link a libFuzzer target ($(head -n 1 "$probe/log"))"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DJITTERFORM_FUZZ=ON -DJITTERFORM_BUILD_UI=OFF -DBUILD_TESTING=OFF >/dev/null
exec "$root/fuzz/run-fuzzers.sh" --build "$build" --seconds "$seconds" --seed 1
