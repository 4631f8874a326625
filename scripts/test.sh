#!/usr/bin/env bash
# Builds Jitterform and runs every test. Usage: scripts/test.sh [--sanitize]
#   --sanitize  build and test with the address and undefined-behaviour sanitizers
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/test
flags=()
if [ "${1:-}" = "--sanitize" ]; then
  build=build/sanitize
  flags+=(-DJITTERFORM_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
fi

scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja "${flags[@]}"
cmake --build "$build" --parallel
cd "$build"
ctest --output-on-failure --parallel "$(nproc)" --timeout 900
