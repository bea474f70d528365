# Shared steps of the project's commands: install what is missing, build, and
# bring a Wine prefix and its server up and down. Sourced, not run.

VELTRANO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The 64-bit camera, tools and tests build into one tree, the 32-bit ones into another.
# Absolute, so that each tree can name the other to its tests.
VELTRANO_BUILD=$(realpath -m "${VELTRANO_BUILD_DIR:-$VELTRANO_ROOT/build}")
VELTRANO_BUILD32=$(realpath -m "${VELTRANO_BUILD32_DIR:-$VELTRANO_ROOT/build32}")

veltrano_install_packages() {
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  # 32-bit Windows programs need the 32-bit Wine, a package of the i386 architecture.
  if [ "$(dpkg --print-architecture)" = amd64 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "Adding the i386 architecture (for the 32-bit Wine)"
    "${sudo[@]}" dpkg --add-architecture i386
  fi
  local wanted=(cmake ninja-build g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
                wine wine64 googletest python3 python3-matplotlib imagemagick fonts-dejavu-core)
  [ "$(dpkg --print-architecture)" = amd64 ] && wanted+=(wine32:i386)
  local missing=()
  for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  # env, not an assignment before sudo: sudo drops the caller's environment, and a
  # question of the package system would wait unseen behind the silenced output.
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# veltrano_build_tree DIR TOOLCHAIN OTHER_DIR [cmake --build arguments...]: configures and
# builds one tree. OTHER_DIR is the other bitness's tree, which the cross-bitness tests use.
veltrano_build_tree() {
  local dir=$1 toolchain=$2 other=$3
  shift 3
  cmake -S "$VELTRANO_ROOT" -B "$dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$VELTRANO_ROOT/cmake/$toolchain" \
    -DCMAKE_BUILD_TYPE=${VELTRANO_BUILD_TYPE:-RelWithDebInfo} -DVELTRANO_OTHER_BUILD_DIR="$other" >/dev/null
  cmake --build "$dir" -j "$(nproc)" "$@"
}

veltrano_build() {  # the 64-bit tree
  veltrano_build_tree "$VELTRANO_BUILD" toolchain-mingw64.cmake "$VELTRANO_BUILD32" "$@"
}

veltrano_build32() {  # the 32-bit tree
  veltrano_build_tree "$VELTRANO_BUILD32" toolchain-mingw64-i686.cmake "$VELTRANO_BUILD" "$@"
}

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# Makes the build tree's Wine prefix (once) and starts one persistent server, so that
# each process launch costs milliseconds instead of seconds.
veltrano_wine_up() {
  export WINEPREFIX=${WINEPREFIX:-$VELTRANO_BUILD/wineprefix}
  local ours
  mkdir -p "$VELTRANO_BUILD"
  # A prefix made before the 32-bit Wine was installed lacks its 32-bit half, and
  # wineboot cannot add it afterwards (the 32-bit setup step needs a 32-bit
  # kernel32 in the prefix to run at all). Prefixes these scripts made (they carry a
  # marker) hold nothing but test state: make them again. Any other prefix is only
  # reported, never deleted.
  if [ -f "$WINEPREFIX/system.reg" ] && [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    case "$WINEPREFIX" in
      "$VELTRANO_BUILD"/wineprefix | "$VELTRANO_BUILD"/demo-prefix | "$VELTRANO_BUILD"/bench-prefix) ours=1 ;;
      *) ours=0 ;;
    esac
    if [ -f "$WINEPREFIX/.veltrano-prefix" ] || [ "$ours" = 1 ]; then
      echo "Wine prefix $WINEPREFIX has no 32-bit half (made before the 32-bit Wine): making it again"
      wineserver -k >/dev/null 2>&1 || true
      rm -rf "$WINEPREFIX"
    else
      echo "warning: Wine prefix $WINEPREFIX cannot run 32-bit programs; the 32-bit tests will fail" >&2
    fi
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating Wine prefix $WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # Both halves, whatever WINEARCH the caller exported.
    WINEARCH=win64 wineboot -i >"$VELTRANO_BUILD/wineboot.log" 2>&1
    wineserver -w
    touch "$WINEPREFIX/.veltrano-prefix"
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
