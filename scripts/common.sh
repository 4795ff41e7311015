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
  # The codec's fuzz target: a native clang with the libFuzzer runtime.
  command -v clang++ >/dev/null || need+=(clang)
  [ -f "$(clang++ -print-resource-dir 2>/dev/null)/lib/linux/libclang_rt.fuzzer-x86_64.a" ] || need+=(libclang-rt-dev)
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

# The SAR codec's fuzz target (tests/fuzz): a native clang build with
# libFuzzer and the address and undefined-behaviour sanitizers, apart from the
# mingw build, started from seeds that the codec's own builders write.
# tarvo_fuzz RUNS: fuzzes RUNS inputs; fails on a crash, a failed check or a
# sanitizer report, leaving the input in $TARVO_BUILD_DIR/fuzz/artifacts.
tarvo_fuzz() {
  local runs=$1 dir="$TARVO_BUILD_DIR/fuzz" rc=0
  tarvo_log "fuzz target: build in $dir"
  cmake -S "$TARVO_ROOT/tests/fuzz" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null || return 1
  cmake --build "$dir" >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; return 1; }
  rm -rf "$dir/seeds" "$dir/corpus"
  mkdir -p "$dir/seeds" "$dir/corpus" "$dir/artifacts" || return 1
  "$dir/SarCodecSeeds" "$dir/seeds" >/dev/null || return 1
  tarvo_log "fuzz target: $runs inputs"
  "$dir/SarCodecFuzz" -runs="$runs" -seed=1 -max_len=2048 -print_final_stats=1 \
      -artifact_prefix="$dir/artifacts/" "$dir/corpus" "$dir/seeds" >"$dir/fuzz.log" 2>&1 || rc=$?
  if [ $rc -ne 0 ] || grep -qE 'ERROR: [A-Za-z]+Sanitizer|runtime error:' "$dir/fuzz.log"; then
    tail -n 60 "$dir/fuzz.log"
    tarvo_log "fuzz target FAILED (exit $rc); the input is in $dir/artifacts, the log in $dir/fuzz.log"
    return 1
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE|^Done [0-9]+ runs|^stat::average_exec_per_sec' "$dir/fuzz.log"
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
