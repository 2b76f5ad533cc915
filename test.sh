#!/usr/bin/env bash
# Sets everything up and runs the whole test suite three times: a normal build
# (warnings as errors), AddressSanitizer with UndefinedBehaviorSanitizer, and
# ThreadSanitizer; then runs the fuzz targets for a short while.
# Usage: ./test.sh [ci] [asan] [tsan] [fuzz]   (default: all four)
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/setup.sh

runs=("$@")
[ ${#runs[@]} -eq 0 ] && runs=(ci asan tsan fuzz)
jobs=$(nproc)

for run in "${runs[@]}"; do
  echo "=== $run build ==="
  cmake --preset "$run" >/dev/null
  cmake --build "build-$run" -j "$jobs"
  if [ "$run" = fuzz ]; then
    bash scripts/fuzz.sh "build-$run" "${PENMORA_FUZZ_SECONDS:-45}"
  else
    ctest --test-dir "build-$run" --output-on-failure -j "$jobs" --timeout 300
  fi
done
