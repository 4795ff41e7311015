#!/usr/bin/env bash
# Installs what is missing, builds what the demo runs, and runs TARVOSVC as a
# service under Wine, in a fresh prefix, with the simulated driver, modem and
# vendor library. Exits with the demo's own result.
# Usage: scripts/demo.sh [foxconn|nuvik]   (foxconn by default)
set -euo pipefail
. "$(dirname "$0")/common.sh"

modem="${1:-foxconn}"
case "$modem" in
  foxconn|nuvik) ;;
  *) echo "usage: $0 [foxconn|nuvik]" >&2; exit 2 ;;
esac
tarvo_deps
# The demo driver brings what it runs: TARVOSVC.exe, Kessa.dll and the simulators.
tarvo_build TarvoDemo
prefix="$TARVO_BUILD_DIR/demo-prefix"
rm -rf "$prefix"
tarvo_wine_start "$prefix"
trap tarvo_wine_stop EXIT
tarvo_log "registering the simulated modem"
wine regsvr32 /s "$TARVO_BUILD_DIR/simbin/SimModem.dll" </dev/null >>"$TARVO_WINELOG" 2>&1
tarvo_log "running the demo ($modem)"
result=0
wine "$TARVO_BUILD_DIR/simbin/TarvoDemo.exe" "$modem" </dev/null >"$TARVO_BUILD_DIR/demo.out" 2>&1 || result=$?
cat "$TARVO_BUILD_DIR/demo.out"
exit "$result"
