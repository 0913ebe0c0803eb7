#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/) and runs them: the library's
# own cost per call, allocations and platform calls per call, the call over
# libusb with an emulated unit, scaling across threads and units, and the
# cost of an open. Prints figures; passes or fails on nothing but the build.
# Extra arguments go to every benchmark binary, e.g. --benchmark_filter=open.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
build_bench
dir="$BRIVANT_ROOT/build-bench"

echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'), nproc: $(nproc)"
echo
echo "### over a platform that returns at once: the library's own cost"
"$dir/bench/brivant_bench_own" "$@"
echo
echo "### the same over the libusb backend, over a libusb that answers at once"
"$dir/bench/brivant_bench_usb_own" "$@"
echo
echo "### the shipped library on its simulated demo unit: calls, allocations"
"$dir/bench/brivant_bench_shipped" "$@"
echo
echo "### the shipped library over libusb with an emulated unit, beside libusb alone"
"$dir/bench/brivant_bench_usb" "$@"
echo
echo "### over the instrumented simulated platform: calls, platform calls, scaling, open"
"$dir/bench/brivant_bench" "$@"
echo
echo "### the brivant tool: log's sampling rate, the panel's USB traffic and CPU"
"$dir/bench/brivant_bench_tool"
echo
echo "### serve's MQTT publishing and its journal: 16 units at 100 and 1000 Hz to a local mosquitto"
"$dir/bench/brivant_bench_mqtt"
echo
echo "### serve's HTTP side: one request while 100 idle connections and 32 slow-header clients hold on"
/usr/bin/python3 "$BRIVANT_ROOT/bench/http_load.py" "$BRIVANT_ROOT/build-bench/brivant"
