#!/usr/bin/env bash
# The libusb backend of the shipped library against the real libusb, with
# units emulated under umockdev (tests/usb/): which devices are units, the
# 13 functions over usbfs, claims, unplug and replug, sixteen units, and the
# tool's USB diagnostics. From build/ (10-linux), with the thread probe.
# packages: build usb-emulation
# after: 10-linux
# lane: wait
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build usb-emulation
build_linux_tree
dir=$BRIVANT_ROOT/build
mkdir -p "$dir/thread-probe"
BRIVANT_THREAD_PROBE_DIR=$dir/thread-probe LD_PRELOAD=$dir/tests/thread_probe.so \
    ctest_counted "libusb backend suite (ctest -L usb)" "$dir" -L usb
