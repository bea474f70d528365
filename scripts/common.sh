# Shared steps of the project's commands: install what is missing, build, and
# bring a Wine prefix and its server up and down. Sourced, not run.

VELTRANO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VELTRANO_BUILD=${VELTRANO_BUILD_DIR:-$VELTRANO_ROOT/build}

veltrano_install_packages() {
  local wanted=(cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 googletest
                python3 python3-matplotlib imagemagick fonts-dejavu-core)
  local missing=()
  for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

veltrano_build() {
  cmake -S "$VELTRANO_ROOT" -B "$VELTRANO_BUILD" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$VELTRANO_ROOT/cmake/toolchain-mingw64.cmake" \
    -DCMAKE_BUILD_TYPE=${VELTRANO_BUILD_TYPE:-RelWithDebInfo} >/dev/null
  cmake --build "$VELTRANO_BUILD" -j "$(nproc)" "$@"
}

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# Makes the build tree's Wine prefix (once) and starts one persistent server, so that
# each process launch costs milliseconds instead of seconds.
veltrano_wine_up() {
  export WINEPREFIX=${WINEPREFIX:-$VELTRANO_BUILD/wineprefix}
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot -i >"$VELTRANO_BUILD/wineboot.log" 2>&1
    wineserver -w
  fi
  # The server must not hold our pipes open: its output goes to a file.
  wineserver -p >"$VELTRANO_BUILD/wineserver.log" 2>&1 &
  trap veltrano_wine_down EXIT
  # The first process of a session starts Wine's own services (services.exe,
  # explorer.exe ...), which live as long as the server and inherit that process's
  # output. Start them here with output to a file, so that they never hold the
  # pipes of a test runner open.
  wine cmd.exe /c exit </dev/null >>"$VELTRANO_BUILD/wineserver.log" 2>&1 || true
}

veltrano_wine_down() {
  wineserver -k >/dev/null 2>&1 || true
}

# Sends Ctrl+C (SIGINT, which Wine turns into the console control event) to the
# Windows program started as `wine PROGRAM.exe ... &`, whose launcher has pid `launcher`.
# `wine` runs the program through start.exe, which does not pass the signal on, so
# the signal goes to the program's own process: the one of that name in this
# prefix (its environment says so), never another prefix's.
veltrano_interrupt() {  # launcher pid, program file name (veltrano-feed.exe)
  local pid
  for pid in $(pgrep -f -- "$2"); do
    [ "$pid" = "$1" ] && continue
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" || continue
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q '^start\.exe' && continue
    kill -INT "$pid" 2>/dev/null || true
  done
  kill -INT "$1" 2>/dev/null || true
}
