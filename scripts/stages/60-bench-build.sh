#!/usr/bin/env bash
# Builds the benchmarks without running them, so they keep compiling; their
# figures come from scripts/bench.sh and decide nothing here.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need_packages cmake make g++ binutils libbenchmark-dev
dir="$BRIVANT_ROOT/build-bench"
cmake -S "$BRIVANT_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
    -DBRIVANT_BUILD_BENCH=ON -DBRIVANT_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$BRIVANT_JOBS" --target brivant_bench brivant_bench_own
