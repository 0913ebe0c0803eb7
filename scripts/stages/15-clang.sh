#!/usr/bin/env bash
# The Linux build and its whole test suite once more with clang, warnings
# as errors, so the tree stays clean under both compilers; the libusb
# backend's tests over emulated units included.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build clang usb-emulation
dir="$BRIVANT_ROOT/build-clang"
CC=clang CXX=clang++ configure_and_build "$dir" -DBRIVANT_WERROR=ON -DBRIVANT_USB_TESTS=ON
ctest --test-dir "$dir" --output-on-failure -j "$BRIVANT_JOBS"
