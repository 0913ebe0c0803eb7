#!/usr/bin/env bash
# Builds the benchmarks without running them, so they keep compiling; their
# figures come from scripts/bench.sh and decide nothing here.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
build_bench
