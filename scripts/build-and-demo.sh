#!/usr/bin/env bash
# Builds everything and runs the demo against the simulated units.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
need_base_packages
configure_and_build "$BRIVANT_ROOT/build"
"$BRIVANT_ROOT/build/brivant_demo"
