#!/usr/bin/env bash
# Runs one Windows program under Wine in the build tree's prefix.
# WINEPREFIX may be preset by the caller; otherwise the prefix beside the program is used.
set -euo pipefail
if [ -z "${WINEPREFIX:-}" ]; then
  exe_dir=$(cd "$(dirname "$1")" && pwd)
  export WINEPREFIX="$(dirname "$exe_dir")/wineprefix"
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
exec wine "$@"
