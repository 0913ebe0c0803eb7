#!/usr/bin/env bash
# Builds everything and runs the demo against the simulated units, so that it
# runs on a machine without any unit.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
need build
configure_and_build "$BRIVANT_ROOT/build"
export BRIVANT_BACKEND=sim
"$BRIVANT_ROOT/build/brivant_demo"
echo
echo "--- the brivant tool on simulated unit 0 (build/brivant --simulate batch examples/tool-demo.txt)"
"$BRIVANT_ROOT/build/brivant" --simulate batch "$BRIVANT_ROOT/examples/tool-demo.txt"
echo
echo "--- build/brivant --simulate watch 0 --count 5 --interval 250"
"$BRIVANT_ROOT/build/brivant" --simulate watch 0 --count 5 --interval 250
