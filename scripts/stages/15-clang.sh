#!/usr/bin/env bash
# The tree built with clang, warnings as errors, with AddressSanitizer and
# UndefinedBehaviorSanitizer (and libFuzzer's coverage, so that the fuzzers
# of 40-fuzz come from the same objects): the whole test suite, the libusb
# backend's tests over emulated units included. Any report fails the run:
# the build does not recover from errors and the options below make a report
# exit non-zero. serve from this tree runs against real servers in
# 46-servers-asan.
# packages: build clang usb-emulation
# lane: build
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build clang usb-emulation
dir=$BRIVANT_ROOT/build-clang
build_clang_tree
asan_options
ctest_counted "clang ASan+UBSan suite (ctest)" "$dir"
no_sanitizer_report "ASan+UBSan" "$dir"
