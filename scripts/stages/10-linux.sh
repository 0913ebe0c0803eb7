#!/usr/bin/env bash
# The Linux build against the simulated platform and its GoogleTest suite, in
# build/: the tree that 25-usb, 35-valgrind, 45-servers, 50-users, 55-dotnet
# and 70-panel-browser use too. The suite runs with the thread probe
# preloaded, which notes the tests that start threads for 30-sanitizers.
# packages: build usb-emulation
# lane: build
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build usb-emulation
build_linux_tree
dir=$BRIVANT_ROOT/build
rm -rf "$dir/thread-probe"
mkdir -p "$dir/thread-probe"
BRIVANT_THREAD_PROBE_DIR=$dir/thread-probe LD_PRELOAD=$dir/tests/thread_probe.so \
    ctest_counted "gcc suite (ctest)" "$dir" -LE usb
