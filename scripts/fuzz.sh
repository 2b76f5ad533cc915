#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a short while, each on its seeds
# (fuzz/seeds/<name without fuzz_>) and the corpus it grew in earlier runs,
# then prints each target's executions and coverage.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS_PER_TARGET
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=$2
top=$(cd "$(dirname "$0")/.." && pwd)
found=0
summary=()
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
  output="$build/fuzz/$name.log"
  # An empty working folder: the build folder holds the virtual reader, which
  # would let fingerprint commands start real captures.
  work="$build/fuzz/work-$name"
  rm -rf "$work"
  mkdir -p "$work"
  # Each input has a second (a hang is a failure), leaks are failures, and
  # standard output (the service's trace lines) is closed.
  if ! (cd "$work" && "$target" -max_total_time="$seconds" -timeout=1 -detect_leaks=1 -rss_limit_mb=2048 \
      -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$build/fuzz/$name-" \
      "${args[@]}" 2>"$output"); then
    tail -n 60 "$output"
    echo "$name failed; the input that failed is in $build/fuzz/$name-*"
    exit 1
  fi
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$output" | tail -n 1 || true)
  execs=$(grep -E '^stat::number_of_executed_units:' "$output" | awk '{print $2}')
  summary+=("$name: ${execs:-?} executions; ${done_line:-no final line}")
done
[ "$found" -eq 1 ] || { echo "no fuzz targets built"; exit 0; }
printf '%s\n' "${summary[@]}"
