#!/usr/bin/env bash
# The Linux build against the simulated platform and its GoogleTest suite.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build
configure_and_build "$BRIVANT_ROOT/build"
ctest --test-dir "$BRIVANT_ROOT/build" --output-on-failure -j "$BRIVANT_JOBS"
