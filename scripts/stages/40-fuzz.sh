#!/usr/bin/env bash
# The API fuzzer: scripts of calls (any ID, channel, setting, null pointers,
# open and close in any order) and unit behaviours (reply bytes, short
# replies, faults, units appearing and disappearing), built with clang,
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer. It starts from
# a copy of the seed corpus and runs for a bounded time; a broken invariant or
# a sanitizer report fails the stage and leaves the input in build-fuzz/.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build clang

seconds=${BRIVANT_FUZZ_SECONDS:-60}
dir="$BRIVANT_ROOT/build-fuzz"
CC=clang CXX=clang++ configure_and_build "$dir" -DBRIVANT_FUZZ=ON -DBRIVANT_BUILD_TESTS=OFF \
    -DBRIVANT_SANITIZE=fuzzer-no-link,address,undefined

corpus="$dir/corpus"
rm -rf "$corpus"
mkdir -p "$corpus"
cp "$BRIVANT_ROOT"/fuzz/corpus/* "$corpus"/
seeds=$(find "$corpus" -type f | wc -l)

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
log="$dir/fuzz.log"
status=0
# A hang is a call that never returns, so the time-out only has to be long
# enough not to be reached by a busy machine: an input that runs in 0.1 s
# alone once went past 10 s while both cores were compiling.
(cd "$dir" && ./fuzz/brivant_fuzz_api -max_total_time="$seconds" -max_len=1024 -timeout=60 \
    -print_final_stats=1 -artifact_prefix="$dir/" "$corpus") >"$log" 2>&1 || status=$?
if [ $status -ne 0 ]; then
    tail -40 "$log"
    echo "fuzz: FAILED (exit $status); the failing input is in $dir/" >&2
    exit 1
fi
execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
size=$(find "$corpus" -type f | wc -l)
echo "fuzz: $execs executions in ${seconds} s ($rate per second), corpus $seeds seeds -> $size inputs, no crash"
