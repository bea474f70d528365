#!/usr/bin/env bash
# Builds the camera and every test on a fresh Debian machine and runs all tests
# under Wine. Exits non-zero on any failure.
set -euo pipefail
source "$(dirname "$0")/common.sh"

veltrano_install_packages
veltrano_build
veltrano_wine_up
ctest --test-dir "$VELTRANO_BUILD" --output-on-failure "$@"
