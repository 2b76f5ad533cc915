#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a short while.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
build=$1
seconds=$2
top=$(cd "$(dirname "$0")/.." && pwd)
found=0
for target in "$build"/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  found=1
  name=$(basename "$target")
  corpus="$build/fuzz/corpus-$name"
  mkdir -p "$corpus"
  seeds="$top/fuzz/seeds/${name#fuzz_}"
  echo "fuzzing $name for ${seconds}s"
  args=("$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 "${args[@]}"
done
[ "$found" -eq 1 ] || echo "no fuzz targets built"
