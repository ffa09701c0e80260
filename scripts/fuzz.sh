#!/usr/bin/env bash
# Runs every fuzzer of a fuzz build for a bounded time each, from its seed corpus.
# usage: scripts/fuzz.sh BUILD_DIR   (FUZZ_SECONDS, default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:?build dir}
SECS=${FUZZ_SECONDS:-60}
found=0
for bin in $(find "$BUILD/fuzz" -type f -executable -name 'fuzz_*' | sort); do
  name=$(basename "$bin")
  seeds="fuzz/corpus/$name"
  work="$BUILD/fuzz-work/$name"
  mkdir -p "$work"
  echo "--- $name (${SECS}s)"
  args=("$work")
  [ -d "$seeds" ] && args+=("$seeds")
  "$bin" -max_total_time="$SECS" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 "${args[@]}" \
     > "$work.log" 2>&1 || { tail -50 "$work.log"; echo "FUZZER FAILED: $name"; exit 1; }
  grep -E 'stat::number_of_executed_units' "$work.log" || true
  found=$((found + 1))
done
echo "fuzzers run: $found"
