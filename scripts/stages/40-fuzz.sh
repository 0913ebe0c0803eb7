#!/usr/bin/env bash
# The fuzzers, from build-clang/ (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer; 15-clang builds them with the suite): the API
# fuzzer (scripts of calls: any ID, channel, setting, null pointers, open and
# close in any order; and unit behaviours: reply bytes, short replies,
# faults, units appearing and disappearing), then what comes to serve from
# outside. Each starts from a copy of its seeds and runs for a bounded time,
# on one core; a broken invariant or a sanitizer report fails the stage and
# leaves the input in build-clang/fuzz/.
# packages: build clang usb-emulation
# after: 15-clang
# lane: wait
set -euo pipefail
source "$(dirname "$0")/../lib.sh"

seconds=${BRIVANT_FUZZ_SECONDS:-60}
build_clang_tree
dir="$BRIVANT_ROOT/build-clang/fuzz"

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# fuzz TARGET SEEDS SECONDS MAX_LEN: one fuzzer from a copy of its seeds for
# a bounded time. A hang is a call that never returns, so the time-out only
# has to be long enough not to be reached by a busy machine: an input that
# runs in 0.1 s alone once went past 10 s while both cores were compiling.
fuzz() {
    local target=$1 seeds_dir=$2 seconds=$3 max_len=$4
    local corpus="$dir/corpus-$target" log="$dir/$target.log" status=0
    rm -rf "$corpus"
    mkdir -p "$corpus"
    cp "$seeds_dir"/* "$corpus"/
    local seeds
    seeds=$(find "$corpus" -type f | wc -l)
    (cd "$dir" && "./brivant_fuzz_$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=60 \
        -print_final_stats=1 -artifact_prefix="$dir/$target-" "$corpus") >"$log" 2>&1 || status=$?
    if [ $status -ne 0 ]; then
        tail -40 "$log"
        echo "fuzz $target: FAILED (exit $status); the failing input is in $dir/" >&2
        return 1
    fi
    local execs rate size
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    size=$(find "$corpus" -type f | wc -l)
    count "fuzz $target, seconds" "$seconds"
    echo "fuzz $target: $execs executions in ${seconds} s ($rate per second), corpus $seeds seeds -> $size inputs, no crash"
}

failed=0
fuzz api "$BRIVANT_ROOT/fuzz/corpus" "$seconds" 1024 || failed=1
# What comes to serve from outside: a station file (--check), an HTTP
# request, a command from the broker, a Sparkplug B payload, a host's
# Sparkplug command.
outside=${BRIVANT_FUZZ_OUTSIDE_SECONDS:-30}
fuzz station_file "$BRIVANT_ROOT/fuzz/seeds/station_file" "$outside" 4096 || failed=1
fuzz http_request "$BRIVANT_ROOT/fuzz/seeds/http_request" "$outside" 4096 || failed=1
fuzz mqtt_command "$BRIVANT_ROOT/fuzz/seeds/mqtt_command" "$outside" 2048 || failed=1
fuzz sparkplug_payload "$BRIVANT_ROOT/fuzz/seeds/sparkplug_payload" "$outside" 2048 || failed=1
fuzz sparkplug_command "$BRIVANT_ROOT/fuzz/seeds/sparkplug_command" "$outside" 2048 || failed=1
exit $failed
