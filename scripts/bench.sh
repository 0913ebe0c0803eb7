#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/) and runs them: the library's
# own cost per call, allocations and platform calls per call, scaling across
# threads and units, and the cost of an open. Prints figures; passes or fails
# on nothing but the build. Extra arguments go to both benchmark binaries,
# e.g. --benchmark_filter=open.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
need_packages cmake make g++ binutils libbenchmark-dev

dir="$BRIVANT_ROOT/build-bench"
cmake -S "$BRIVANT_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
    -DBRIVANT_BUILD_BENCH=ON -DBRIVANT_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$BRIVANT_JOBS" --target brivant_bench brivant_bench_own

echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'), nproc: $(nproc)"
echo
echo "### over a platform that returns at once: the library's own cost"
"$dir/bench/brivant_bench_own" "$@"
echo
echo "### over the simulated platform: calls, allocations, scaling, open"
"$dir/bench/brivant_bench" "$@"
