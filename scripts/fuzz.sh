#!/usr/bin/env bash
# Runs every fuzzer of a fuzz build for a bounded time each, from its seed corpus, two at a time.
# usage: scripts/fuzz.sh BUILD_DIR   (FUZZ_SECONDS per fuzzer, default 60; FUZZ_JOBS, default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:?build dir}
export SECS=${FUZZ_SECONDS:-60}
JOBS=${FUZZ_JOBS:-2}

run_one() {
  local bin=$1 name work seeds
  name=$(basename "$bin")
  seeds="fuzz/corpus/$name"
  work="$BUILD/fuzz-work/$name"
  mkdir -p "$work"
  local args=("$work")
  [ -d "$seeds" ] && args+=("$seeds")
  if "$bin" -max_total_time="$SECS" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 "${args[@]}" \
       > "$work.log" 2>&1; then
    echo "--- $name (${SECS}s): $(grep -m1 -o 'number_of_executed_units: [0-9]*' "$work.log" || echo ok)"
  else
    tail -60 "$work.log"
    echo "FUZZER FAILED: $name"
    return 1
  fi
}
export -f run_one
export BUILD

mapfile -t bins < <(find "$BUILD/fuzz" -type f -executable -name 'fuzz_*' | sort)
[ ${#bins[@]} -gt 0 ] || { echo "no fuzzers built"; exit 1; }
printf '%s\n' "${bins[@]}" | xargs -P "$JOBS" -I{} bash -c 'run_one "$1"' _ {}
echo "fuzzers run: ${#bins[@]}"
