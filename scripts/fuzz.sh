#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a short while, each on its seeds
# (fuzz/seeds/<name without fuzz_>) and the corpus it grew in earlier runs,
# as many at once as there are processors, then prints each target's
# executions and coverage.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS_PER_TARGET
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=$2
top=$(cd "$(dirname "$0")/.." && pwd)
# fuzz_one TARGET: runs one target; its output goes to fuzz/NAME.log.
fuzz_one() {
  local target=$1 name corpus seeds output work args
  name=$(basename "$target")
  corpus="$build/fuzz/corpus-$name"
  mkdir -p "$corpus"
  seeds="$top/fuzz/seeds/${name#fuzz_}"
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
  (cd "$work" && "$target" -max_total_time="$seconds" -timeout=1 -detect_leaks=1 -rss_limit_mb=2048 \
    -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$build/fuzz/$name-" \
    "${args[@]}" 2>"$output")
}

# The targets run side by side, one per processor.
targets=()
for target in "$build"/fuzz/fuzz_*; do
  [ -x "$target" ] && targets+=("$target")
done
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets built"; exit 0; }
parallel=$(nproc)
failed=()
for ((first = 0; first < ${#targets[@]}; first += parallel)); do
  batch=("${targets[@]:first:parallel}")
  pids=()
  for target in "${batch[@]}"; do
    echo "fuzzing $(basename "$target") for ${seconds}s"
    fuzz_one "$target" &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    wait "${pids[$i]}" || failed+=("${batch[$i]}")
  done
done
for target in "${failed[@]}"; do
  name=$(basename "$target")
  tail -n 60 "$build/fuzz/$name.log"
  echo "$name failed; the input that failed is in $build/fuzz/$name-*"
done
[ ${#failed[@]} -eq 0 ] || exit 1
summary=()
for target in "${targets[@]}"; do
  name=$(basename "$target")
  output="$build/fuzz/$name.log"
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$output" | tail -n 1 || true)
  execs=$(grep -E '^stat::number_of_executed_units:' "$output" | awk '{print $2}')
  summary+=("$name: ${execs:-?} executions; ${done_line:-no final line}")
done
printf '%s\n' "${summary[@]}"
