#!/usr/bin/env bash
# Builds everything and runs the benchmarks under Wine, in the test prefix,
# then the codec's fuzz target for 10^6 inputs (TARVO_FUZZ_BENCH_RUNS).
set -euo pipefail
. "$(dirname "$0")/common.sh"

tarvo_deps
tarvo_build
tarvo_wine_start
trap tarvo_wine_stop EXIT
cd "$TARVO_BUILD_DIR"
for bench in tests/bin/*_bench.exe; do
  tarvo_log "$(basename "$bench")"
  wine "$bench" </dev/null >"$TARVO_BUILD_DIR/bench.out" 2>&1 || true
  cat "$TARVO_BUILD_DIR/bench.out"
done
tarvo_wine_stop
tarvo_fuzz "${TARVO_FUZZ_BENCH_RUNS:-1000000}"
