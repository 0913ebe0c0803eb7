#!/usr/bin/env bash
# Usage: cli_test.sh BRIVANT. Runs the command-line tool against the
# simulated units of the Linux build (IDs 0, 1 and 5) and checks its exit
# statuses and what it prints.
set -uo pipefail
tool=$1
failures=0
checks=0
out=$(mktemp)
trap 'rm -f "$out"' EXIT

# expect STATUS REGEX ARGS...: the tool exits with STATUS and its output
# (stdout and stderr together) matches the extended REGEX.
expect() {
    local status=$1 pattern=$2 actual
    shift 2
    "$tool" "$@" >"$out" 2>&1 </dev/null
    actual=$?
    checks=$((checks + 1))
    if [ "$actual" -ne "$status" ] || ! grep -Eq -- "$pattern" "$out"; then
        failures=$((failures + 1))
        echo "FAIL: brivant $* -> status $actual (want $status), output:"
        sed 's/^/    /' "$out"
        echo "    (wanted /$pattern/)"
    fi
}

# expect_batch STATUS REGEX SCRIPT: as expect, for `brivant batch` fed SCRIPT.
expect_batch() {
    local status=$1 pattern=$2 script=$3 actual
    printf '%b' "$script" | "$tool" batch >"$out" 2>&1
    actual=$?
    checks=$((checks + 1))
    if [ "$actual" -ne "$status" ] || ! grep -Ezq -- "$pattern" "$out"; then
        failures=$((failures + 1))
        echo "FAIL: batch of '$script' -> status $actual (want $status), output:"
        sed 's/^/    /' "$out"
        echo "    (wanted /$pattern/)"
    fi
}

commands="read watch input-invert output-invert output-mode clear-event multiplier limiter clear run stop preset batch sleep help"

# --- help: the list names every command, each command has its own help.
for command in $commands; do
    expect 0 "^  $command " --help
    expect 0 "^usage: brivant $command" "$command" --help
done
expect 0 "^usage: brivant preset ID CH FIRST SECOND" help preset
expect 64 "^usage: brivant COMMAND"
expect 64 "no command 'frob'" frob
expect 64 "no command 'frob'" help frob

# --- argument handling: counts, numbers and their ranges, before any unit is opened.
expect 64 "too few arguments; usage: brivant run ID CH" run 0
expect 64 "too many arguments; usage: brivant read ID \[CH\]" read 0 1 2
expect 64 "too few arguments; usage: brivant input-invert" input-invert 0 0 1 1
expect 64 "channel 'one' is not a number from 0 to 255" read 0 one
expect 64 "channel '256' is not a number from 0 to 255" clear 0 256
expect 64 "unit ID '40000' is not a number" read 40000
expect 64 "S3 '0x' is not a number" input-invert 0 0 1 1 0x
expect 64 "SEL '1x' is not a number" multiplier 0 0 1x
expect 64 "SEL '-1' is not a number" clear-event 0 0 -1
expect 64 "FIRST '0x100000000' is not a number" preset 0 0 0x100000000 0
expect 64 "SECOND '' is not a number" preset 0 0 1 ""
expect 64 "channel 'x' is not a number" preset 9 x 1 2   # told before unit 9 is looked for
expect 64 "unknown option '--every'" watch 0 --every 5
expect 64 "option --count needs a value" watch 0 --count
expect 64 "cannot read" batch /nonexistent/commands.txt
expect 0 "unit 0 channel 1: count -?[0-9]+, status 0x01" read 0x0 0x1
expect 0 "preset words 0x12AB00FF 0xFFFFFFFF written" preset 0 1 0x12ab00ff -1
expect 0 "preset words 0x00000010 0x80000000 written" preset 5 2 16 0x80000000

# --- the library's refusals become messages that name the result code, and exit statuses.
expect 6 "unit 9: open: RC_ID_NOT_FOUND \(6\): no present unit reported this ID" read 9
expect 1 "unit 16: open: RC_BAD_ID \(1\): the unit ID is outside 0 to 15" run 16 0
expect 1 "unit -1: open: RC_BAD_ID \(1\)" read -1
expect 8 "unit 0: read count: RC_BAD_PARAMETER \(8\)" read 0 3
expect 8 "unit 1: input inversion: RC_BAD_PARAMETER \(8\)" input-invert 1 0 0 2 0
expect 8 "unit 1: output inversion: RC_BAD_PARAMETER \(8\)" output-invert 1 3 0 0
expect 8 "unit 1: output mode: RC_BAD_PARAMETER \(8\)" output-mode 1 0 0 2
expect 8 "unit 1: clear event: RC_BAD_PARAMETER \(8\)" clear-event 1 0 3
expect 8 "unit 1: multiplier: RC_BAD_PARAMETER \(8\)" multiplier 1 0 3
expect 8 "unit 1: limiter: RC_BAD_PARAMETER \(8\)" limiter 1 0 2 0
expect 8 "unit 1: forced clear: RC_BAD_PARAMETER \(8\)" clear 1 3
expect 8 "unit 1: run: RC_BAD_PARAMETER \(8\)" run 1 3
expect 8 "unit 1: stop: RC_BAD_PARAMETER \(8\)" stop 1 3
expect 8 "unit 1: preset: RC_BAD_PARAMETER \(8\)" preset 1 3 0 0

# --- each setting is taken by a present unit.
expect 0 "unit 5 channel 2: input inversion set to 1 0 1" input-invert 5 2 1 0 1
expect 0 "unit 5 channel 0: output inversion set to 1 1" output-invert 5 0 1 1
expect 0 "unit 5 channel 1: output mode set to 0 1" output-mode 5 1 0 1
expect 0 "unit 5 channel 1: clear event 2 selected" clear-event 5 1 2
expect 0 "unit 5 channel 1: multiplier 2 selected" multiplier 5 1 2
expect 0 "unit 5 channel 1: limiter set to 1 1" limiter 5 1 1 1
expect 0 "unit 5 channel 1: count cleared" clear 5 1
expect 0 "unit 5 channel 1: running" run 5 1
expect 0 "unit 5 channel 1: stopped" stop 5 1

# --- watch refreshes as often as asked; in a pipe, one line each.
expect 0 "^unit 1  ch0 +-?[0-9]+ 0x01  ch1 +-?[0-9]+ 0x01  ch2 +-?[0-9]+ 0x01$" \
    watch 1 --count 3 --interval 10
"$tool" watch 1 --count 3 --interval 10 | grep -c "^unit 1" | grep -qx 3 ||
    { failures=$((failures + 1)); echo "FAIL: watch --count 3 did not print 3 lines"; }

# --- Ctrl-C ends watch normally, with the unit closed and status 0.
"$tool" watch 1 --interval 20 >"$out" 2>&1 &
watcher=$!
sleep 0.3
kill -INT "$watcher"
wait "$watcher"
status=$?
checks=$((checks + 1))
if [ "$status" -ne 0 ] || ! grep -q "^unit 1  ch0" "$out"; then
    failures=$((failures + 1))
    echo "FAIL: watch interrupted by Ctrl-C -> status $status, output:"
    sed 's/^/    /' "$out"
fi

# --- batch: commands share one process, so the simulated unit's state carries over.
expect_batch 0 "> stop 0 1.*> clear 0 1.*      1            0  0x00" \
    'stop 0 1\nclear 0 1\nsleep 30\nread 0\n'
expect_batch 0 "count 4096, status 0x00" \
    '# a preset is loaded by the next clear\nstop 0 0\npreset 0 0 0x1000 0\n\nclear 0 0\nread 0 0\n'
expect_batch 8 "> run 0 3.*RC_BAD_PARAMETER \(8\)" 'run 0 3\nread 0\n'
! printf 'run 0 3\nread 0\n' | "$tool" batch 2>/dev/null | grep -q "> read 0" ||
    { failures=$((failures + 1)); echo "FAIL: batch went on after a failing command"; }
expect_batch 64 "batch cannot run inside a batch" 'batch\n'

echo "cli: $checks checks, $failures failed"
[ "$failures" -eq 0 ]
