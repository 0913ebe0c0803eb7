#!/usr/bin/env bash
# Runs the test stages of scripts/stages/ in name order and reports each:
#   scripts/test.sh                    every stage
#   scripts/test.sh 10-linux 15-clang  only these (the .sh may be left off)
# Exits non-zero when any stage fails.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

stages=()
if [ $# -eq 0 ]; then
    stages=("$BRIVANT_ROOT"/scripts/stages/*.sh)
else
    for name in "$@"; do
        stage="$BRIVANT_ROOT/scripts/stages/${name%.sh}.sh"
        if [ ! -f "$stage" ]; then
            echo "no stage '$name'; the stages are:" >&2
            (cd "$BRIVANT_ROOT/scripts/stages" && ls ./*.sh | sed 's|^\./||; s|\.sh$||; s/^/  /') >&2
            exit 2
        fi
        stages+=("$stage")
    done
fi

passed=0
failed=0
failed_names=()
for stage in "${stages[@]}"; do
    name=$(basename "$stage" .sh)
    echo "=== stage $name"
    started=$(date +%s)
    if bash "$stage"; then
        passed=$((passed + 1))
        echo "=== stage $name passed ($(( $(date +%s) - started )) s)"
    else
        failed=$((failed + 1))
        failed_names+=("$name")
        echo "=== stage $name FAILED ($(( $(date +%s) - started )) s)"
    fi
done
[ $failed -gt 0 ] && echo "failed stages: ${failed_names[*]}"
echo "stages: $passed passed, $failed failed"
[ $failed -eq 0 ]
