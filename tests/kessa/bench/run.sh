#!/usr/bin/env bash
# Builds and runs the Kessa throughput benchmark under Wine in the build's own
# prefix; arguments go to kessa_bench.exe (README.md beside this script).
set -euo pipefail
. "$(dirname "$0")/../../../scripts/common.sh"

tarvo_deps
tarvo_build >/dev/null
tarvo_wine_start
trap tarvo_wine_stop EXIT
out="$TARVO_BUILD_DIR/kessa_bench.txt"
# Wine's background processes keep a pipe open: the output goes through a file.
rc=0
"$TARVO_BUILD_DIR/wine-exec" "$TARVO_BUILD_DIR/tests/bin/kessa_bench.exe" "$@" </dev/null >"$out" 2>&1 || rc=$?
cat "$out"
exit $rc
