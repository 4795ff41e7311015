#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine.
set -euo pipefail
. "$(dirname "$0")/common.sh"

tarvo_deps
tarvo_build
tarvo_wine_start
trap tarvo_wine_stop EXIT
tarvo_log "running the tests"
cd "$TARVO_BUILD_DIR"
ctest --output-on-failure --no-tests=error -j"$(nproc)" "$@"
