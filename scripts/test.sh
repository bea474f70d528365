#!/usr/bin/env bash
# Builds the camera and every test for 64-bit and for 32-bit Windows on a fresh
# Debian machine and runs all tests of both under Wine, in one prefix (the 32-bit
# tests on the 32-bit Wine), cross-bitness tests included. Extra arguments go to both
# ctest runs. Exits non-zero when either run fails. Ends with the time of each step.
set -euo pipefail
source "$(dirname "$0")/common.sh"

steps=()
step_started=$SECONDS
step_done() {  # what
  steps+=("$(printf '%5d s  %s' $((SECONDS - step_started)) "$1")")
  step_started=$SECONDS
}

veltrano_install_packages
step_done "packages"
echo "== Building the 64-bit camera, tools and tests into $VELTRANO_BUILD"
veltrano_build
step_done "64-bit build"
echo "== Building the 32-bit camera, tools and tests into $VELTRANO_BUILD32"
veltrano_build32
step_done "32-bit build"
veltrano_wine_up
step_done "Wine prefix and server"

results=()
failed=0
for bitness in 64 32; do
  if [ "$bitness" = 64 ]; then tree=$VELTRANO_BUILD; else tree=$VELTRANO_BUILD32; fi
  echo
  echo "== ${bitness}-bit tests ($tree)"
  # Each test has a time-out of its own; this bounds the whole run, so that two runs
  # stay well inside CI's 90 minutes whatever hangs.
  if timeout 30m ctest --test-dir "$tree" --output-on-failure "$@"; then
    results+=("${bitness}-bit tests: passed")
  else
    results+=("${bitness}-bit tests: FAILED")
    failed=1
  fi
  step_done "${bitness}-bit tests"
done
echo
printf '%s\n' "${steps[@]}"
printf '%5d s  in all\n' "$SECONDS"
printf '%s\n' "${results[@]}"
exit "$failed"
