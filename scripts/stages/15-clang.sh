#!/usr/bin/env bash
# The Linux build and its whole test suite once more with clang, warnings
# as errors, so the tree stays clean under both compilers.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build clang
dir="$BRIVANT_ROOT/build-clang"
CC=clang CXX=clang++ configure_and_build "$dir" -DBRIVANT_WERROR=ON
ctest --test-dir "$dir" --output-on-failure -j "$BRIVANT_JOBS"
