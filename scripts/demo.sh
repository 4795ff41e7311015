#!/usr/bin/env bash
# Installs what is missing, builds, and runs TARVOSVC as a service under Wine,
# in a fresh prefix, with the simulated driver, modem and vendor library.
# Usage: scripts/demo.sh [foxconn|nuvik]   (foxconn by default)
set -euo pipefail
. "$(dirname "$0")/common.sh"

modem="${1:-foxconn}"
tarvo_deps
tarvo_build
prefix="$TARVO_BUILD_DIR/demo-prefix"
rm -rf "$prefix"
tarvo_wine_start "$prefix"
trap tarvo_wine_stop EXIT
tarvo_log "registering the simulated modem"
wine regsvr32 /s "$TARVO_BUILD_DIR/simbin/SimModem.dll" </dev/null >>"$TARVO_WINELOG" 2>&1
tarvo_log "running the demo ($modem)"
wine "$TARVO_BUILD_DIR/simbin/TarvoDemo.exe" "$modem" </dev/null >"$TARVO_BUILD_DIR/demo.out" 2>&1 || true
cat "$TARVO_BUILD_DIR/demo.out"
