#!/usr/bin/env bash
# The libusb backend of the shipped library against the real libusb, with
# units emulated under umockdev (tests/usb/): which devices are units, the
# 13 functions over usbfs, claims, unplug and replug, sixteen units, and the
# tool's USB diagnostics. Built in build-usb/ with only what they need.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build usb-emulation
dir="$BRIVANT_ROOT/build-usb"
cmake -S "$BRIVANT_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIVANT_USB_TESTS=ON >/dev/null
cmake --build "$dir" -j "$BRIVANT_JOBS" --target brivant_usb_tests
ctest --test-dir "$dir" --output-on-failure -j "$BRIVANT_JOBS" -L usb
