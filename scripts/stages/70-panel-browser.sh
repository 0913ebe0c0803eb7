#!/usr/bin/env bash
# brivant panel in real headless Chromium, driven by puppeteer-core (versions
# pinned by tests/panel-browser/package-lock.json), against the simulated
# units of the Linux build: see tests/panel-browser/panel_test.mjs.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build
need_browser_packages
configure_and_build "$BRIVANT_ROOT/build"
install_browser_driver
cd "$BRIVANT_ROOT/tests/panel-browser"
timeout 300 node panel_test.mjs "$BRIVANT_ROOT/build/brivant"
