#!/usr/bin/env bash
# The servers suite of 45-servers with serve from build-tsan/ (30-sanitizers):
# ThreadSanitizer. The broker is away 10 s in the journal's outage test, and
# the export's reader sleeps 10 s.
# packages: build usb-emulation servers
# after: 30-sanitizers
# lane: wait
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need servers
build_tsan_tree
export BRIVANT_OUTAGE_SECONDS=10 BRIVANT_SLOW_READER_SECONDS=10
export TSAN_OPTIONS=halt_on_error=1:exitcode=68
run_servers_suite "$BRIVANT_ROOT/build-tsan/brivant" "TSan"
