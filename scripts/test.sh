#!/usr/bin/env bash
# Builds the camera and every test for 64-bit and for 32-bit Windows on a fresh
# Debian machine and runs all tests of both under Wine, in one prefix (the 32-bit
# tests on the 32-bit Wine), cross-bitness tests included. Extra arguments go to both
# ctest runs. Exits non-zero when either run fails.
set -euo pipefail
source "$(dirname "$0")/common.sh"

veltrano_install_packages
echo "== Building the 64-bit camera, tools and tests into $VELTRANO_BUILD"
veltrano_build
echo "== Building the 32-bit camera, tools and tests into $VELTRANO_BUILD32"
veltrano_build32
veltrano_wine_up

results=()
failed=0
for bitness in 64 32; do
  if [ "$bitness" = 64 ]; then tree=$VELTRANO_BUILD; else tree=$VELTRANO_BUILD32; fi
  echo
  echo "== ${bitness}-bit tests ($tree)"
  if ctest --test-dir "$tree" --output-on-failure "$@"; then
    results+=("${bitness}-bit tests: passed")
  else
    results+=("${bitness}-bit tests: FAILED")
    failed=1
  fi
done
echo
printf '%s\n' "${results[@]}"
exit "$failed"
