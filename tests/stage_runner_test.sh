#!/usr/bin/env bash
# scripts/test.sh over stages made up for the test (BRIVANT_STAGE_DIR): a
# stage starts only after the stages it comes after have passed; one that
# comes after a failed stage does not run and fails naming it; one build
# stage runs at a time and wait stages run beside it, no more than the
# lanes allow; each stage's output is kept apart and its counts gathered;
# the run ends with "stages: N passed, M failed" and fails when one failed.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
check() { # check STATUS WHAT
    if [ "$1" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $2"; fi
}

# stage NAME LANE AFTER BODY: a stage that notes when it starts and ends.
stage() {
    cat >"$work/stages/$1.sh" <<STAGE
#!/usr/bin/env bash
# after: $3
# lane: $2
echo "start \$(date +%s.%N)" >"$work/marks/$1"
echo "output of $1"
$4
status=\$?
echo "end \$(date +%s.%N)" >>"$work/marks/$1"
exit \$status
STAGE
}
mkdir -p "$work/stages" "$work/marks"
stage 10-first build "" "sleep 1; echo 'count: things: 3'"
stage 20-second build "10-first" "sleep 1"
stage 21-waits wait "10-first" "sleep 2"
stage 22-waits-too wait "10-first" "sleep 2"
stage 23-waits-third wait "10-first" "sleep 1"
stage 30-fails build "20-second" "exit 3"
stage 40-after-failure wait "30-fails" "true"

BRIVANT_CCACHE=0 BRIVANT_STAGE_DIR=$work/stages BRIVANT_LOG_DIR=$work/logs BRIVANT_WAIT_LANES=2 \
    bash "$root/scripts/test.sh" >"$work/out" 2>&1
status=$?

mark() { sed -n "s/^$2 //p" "$work/marks/$1" 2>/dev/null; }
before() { # before A-END B-START: A ended before B started
    awk -v a="$1" -v b="$2" 'BEGIN { exit !(a != "" && b != "" && a + 0 <= b + 0) }'
}
[ "$status" -ne 0 ]
check $? "a run with a failed stage fails (status $status)"
[ "$(tail -n1 "$work/out")" = "stages: 5 passed, 2 failed" ]
check $? "the closing line counts passed and failed stages: '$(tail -n1 "$work/out")'"
before "$(mark 10-first end)" "$(mark 20-second start)" && before "$(mark 10-first end)" "$(mark 21-waits start)"
check $? "a stage starts after the one it comes after has ended"
before "$(mark 20-second start)" "$(mark 21-waits end)"
check $? "a wait stage runs beside a build stage"
# Two wait lanes: the third wait stage starts only when one of the others ended.
first_wait_end=$(printf '%s\n' "$(mark 21-waits end)" "$(mark 22-waits-too end)" | sort -n | head -n1)
before "$first_wait_end" "$(mark 23-waits-third start)"
check $? "no more wait stages at once than the lanes allow"
before "$(mark 20-second end)" "$(mark 30-fails start)"
check $? "build stages run one at a time, in order"
[ ! -f "$work/marks/40-after-failure" ] &&
    grep -q "stage 40-after-failure FAILED (not run: it comes after 30-fails, which did not pass)" "$work/out"
check $? "a stage after a failed one does not run and names it"
grep -q "stage 30-fails FAILED (.*exit 3; log $work/logs/30-fails.log)" "$work/out" &&
    grep -qx "output of 30-fails" "$work/logs/30-fails.log"
check $? "a failed stage names its status and its own log"
[ "$(grep -c "^output of " "$work/out")" -eq 6 ] &&
    awk '/^=== stage 21-waits$/ { on = 1; next } on && /^=== / { exit } on' "$work/out" | grep -qx "output of 21-waits"
check $? "each stage's output is printed whole, under its own name"
grep -qx "10-first: things: 3" "$work/out"
check $? "a stage's counts are gathered at the end"
grep -qE "^10-first +build +[0-9]+ +passed$" "$work/out" && grep -qE "^40-after-failure +wait +0 +not run$" "$work/out"
check $? "the account lists each stage's lane, time and result"

BRIVANT_CCACHE=0 BRIVANT_STAGE_DIR=$work/stages BRIVANT_LOG_DIR=$work/logs2 \
    bash "$root/scripts/test.sh" 21-waits nosuch >"$work/out2" 2>&1
status=$?
[ "$status" -eq 2 ] && grep -q "no stage 'nosuch'" "$work/out2"
check $? "an unknown stage is refused (status $status)"

if [ $failed -gt 0 ]; then
    echo "--- the runner's output:"
    cat "$work/out"
fi
echo "stage runner: $passed passed, $failed failed"
[ $failed -eq 0 ]
