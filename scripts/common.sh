# Shared by the scripts: paths, dependencies, the build and the Wine prefix.
# Source it; it defines functions and variables only.

TARVO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
: "${TARVO_BUILD_DIR:=$TARVO_ROOT/build}"
export TARVO_BUILD_DIR

tarvo_log() { printf '== %s\n' "$*"; }

# Installs with apt-get whatever of the toolchain is missing.
tarvo_deps() {
  local need=()
  command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
  command -v wine >/dev/null || need+=(wine wine64)
  command -v cmake >/dev/null || need+=(cmake)
  command -v ninja >/dev/null || need+=(ninja-build)
  [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
  [ ${#need[@]} -eq 0 ] && return 0
  tarvo_log "installing: ${need[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
}

# Configures the build and builds the given targets (with what they depend on),
# everything when none is given.
tarvo_build() {
  local targets=()
  local target
  for target in "$@"; do targets+=(--target "$target"); done
  tarvo_log "configure and build in $TARVO_BUILD_DIR${*:+ ($*)}"
  cmake -S "$TARVO_ROOT" -B "$TARVO_BUILD_DIR" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$TARVO_ROOT/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$TARVO_BUILD_DIR" -j"$(nproc)" "${targets[@]}"
}

# The Wine environment of a prefix; a prefix of the build's own by default.
tarvo_wine_env() {
  export WINEPREFIX="${1:-$TARVO_BUILD_DIR/wineprefix}"
  export WINEARCH=win64 WINEDEBUG=-all
  export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
  unset DISPLAY WAYLAND_DISPLAY
  TARVO_WINELOG="$TARVO_BUILD_DIR/wine-$(basename "$WINEPREFIX").log"
}

# Creates the prefix when missing, else reuses it, and leaves a persistent
# wineserver with Wine's background processes running. Everything Wine prints
# goes to a file: its background processes keep the first caller's output open.
tarvo_wine_start() {
  tarvo_wine_env "$@"
  mkdir -p "$WINEPREFIX"
  wineserver -k >/dev/null 2>&1 || true
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    tarvo_log "creating Wine prefix $WINEPREFIX"
    wineserver -p </dev/null >>"$TARVO_WINELOG" 2>&1
    wine wineboot --init </dev/null >>"$TARVO_WINELOG" 2>&1
    # A fresh prefix can be left with two service managers: restart once.
    wineserver -k >>"$TARVO_WINELOG" 2>&1 || true
    wineserver -w >>"$TARVO_WINELOG" 2>&1 || true
  fi
  wineserver -p </dev/null >>"$TARVO_WINELOG" 2>&1
  wine cmd.exe /c exit 0 </dev/null >>"$TARVO_WINELOG" 2>&1
}

tarvo_wine_stop() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}
