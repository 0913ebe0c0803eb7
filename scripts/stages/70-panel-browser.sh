#!/usr/bin/env bash
# brivant panel in real headless Chromium, driven by puppeteer-core (versions
# pinned by tests/panel-browser/package-lock.json), against the simulated
# units of the Linux build: see tests/panel-browser/panel_test.mjs.
# packages: build usb-emulation browser
# after: 10-linux
# lane: wait
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need_browser_packages
build_linux_tree
install_browser_driver
cd "$BRIVANT_ROOT/tests/panel-browser"
timeout 300 node panel_test.mjs "$BRIVANT_ROOT/build/brivant" | tee "$BRIVANT_ROOT/build/browser-checks.log"
count_matched "browser checks" 's/^browser: ([0-9]+) passed, 0 failed$/\1/p' "$BRIVANT_ROOT/build/browser-checks.log"
