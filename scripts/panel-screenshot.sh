#!/usr/bin/env bash
# Regenerates docs/panel.png, the README's picture of `brivant panel`, in
# headless Chromium against the simulated units of the Linux build.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
need build
need_browser_packages
configure_and_build "$BRIVANT_ROOT/build"
install_browser_driver
mkdir -p "$BRIVANT_ROOT/docs"
(cd "$BRIVANT_ROOT/tests/panel-browser" &&
    timeout 120 node screenshot.mjs "$BRIVANT_ROOT/build/brivant" "$BRIVANT_ROOT/docs/panel.png")
