#!/usr/bin/env bash
# brivant serve against real servers from Debian: Mosquitto (passwords, TLS,
# commands, the broker stopped and started again, serve killed or restarted
# while it is away, the journal's disk full) and Prometheus scraping
# /metrics; and the Sparkplug node against a host written with npm's mqtt
# and sparkplug-payload. The tests start each server on a free loopback port with a
# configuration they write, and stop it. serve from build/ (10-linux); the
# sanitizer builds' serve runs the same suite in 46-servers-asan and
# 47-servers-tsan.
# packages: build usb-emulation servers
# after: 10-linux
# lane: wait
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need servers
build_linux_tree
run_servers_suite "$BRIVANT_ROOT/build/brivant" "gcc"
