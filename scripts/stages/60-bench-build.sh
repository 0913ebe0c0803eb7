#!/usr/bin/env bash
# Builds the benchmarks without running them, so they keep compiling, in the
# amd64 Release tree (the one the packages come from); their figures come
# from scripts/bench.sh and decide nothing here.
# packages: build bench deb
# after: 28-packages
# lane: build
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
build_linux_release amd64 "${BRIVANT_BENCH_TARGETS[@]}"
echo "benchmarks built: ${BRIVANT_BENCH_TARGETS[*]}"
