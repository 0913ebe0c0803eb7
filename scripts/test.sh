#!/usr/bin/env bash
# Runs every test stage in scripts/stages/, in name order, and reports each.
# Exits non-zero when any stage fails.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

passed=0
failed=0
failed_names=()
for stage in "$BRIVANT_ROOT"/scripts/stages/*.sh; do
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
