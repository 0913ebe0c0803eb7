#!/usr/bin/env bash
# The servers suite of 45-servers with serve from build-clang/ (15-clang):
# clang with AddressSanitizer and UndefinedBehaviorSanitizer. The broker is
# away 10 s in the journal's outage test and the export's reader sleeps 10 s,
# which suffices to run the same paths.
# packages: build clang usb-emulation servers
# after: 15-clang
# lane: wait
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need servers
build_clang_tree
export BRIVANT_OUTAGE_SECONDS=10 BRIVANT_SLOW_READER_SECONDS=10
export ASAN_OPTIONS=halt_on_error=1:exitcode=66:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=67
run_servers_suite "$BRIVANT_ROOT/build-clang/brivant" "ASan+UBSan"
