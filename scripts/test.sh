#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine,
# then the codec's fuzz target for a bounded number of inputs (TARVO_FUZZ_RUNS,
# 250000 by default, about half a minute; 0 leaves it out). Arguments go to
# ctest; a run that names some tests leaves the fuzz target out unless
# TARVO_FUZZ_RUNS asks for it.
set -euo pipefail
. "$(dirname "$0")/common.sh"

tarvo_deps
tarvo_build
tarvo_wine_start
trap tarvo_wine_stop EXIT
tarvo_log "running the tests"
cd "$TARVO_BUILD_DIR"
ctest --output-on-failure --no-tests=error -j"$(nproc)" "$@"
tarvo_wine_stop
fuzz_runs=250000
[ $# -eq 0 ] || fuzz_runs=0
fuzz_runs=${TARVO_FUZZ_RUNS:-$fuzz_runs}
if [ "$fuzz_runs" -ne 0 ]; then
  tarvo_fuzz "$fuzz_runs"
fi
