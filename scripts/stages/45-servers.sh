#!/usr/bin/env bash
# brivant serve against real servers from Debian: Mosquitto (passwords, TLS,
# commands, the broker stopped and started again, serve killed or restarted
# while it is away, the journal's disk full) and Prometheus scraping
# /metrics. The tests start each server on a free loopback port with a
# configuration they write, and stop it. With the sanitizer builds of stage
# 30 present, serve runs under each of them too.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build servers
configure_and_build "$BRIVANT_ROOT/build"
suite="$BRIVANT_ROOT/tests/servers/test_mqtt_and_metrics.py"
echo "--- serve ($BRIVANT_ROOT/build/brivant)"
BRIVANT_TOOL="$BRIVANT_ROOT/build/brivant" /usr/bin/python3 "$suite"
# The broker is away 30 s in the journal's test against the plain build;
# 10 s suffice to run the same paths under the sanitizers.
export BRIVANT_OUTAGE_SECONDS=10
export ASAN_OPTIONS=halt_on_error=1:exitcode=66:detect_leaks=1
export TSAN_OPTIONS=halt_on_error=1:exitcode=68
for dir in build-asan build-tsan; do
    if [ -x "$BRIVANT_ROOT/$dir/brivant" ]; then
        echo "--- serve under $dir's sanitizers"
        BRIVANT_TOOL="$BRIVANT_ROOT/$dir/brivant" /usr/bin/python3 "$suite"
    fi
done
echo "servers: serve against Mosquitto and Prometheus passed"
