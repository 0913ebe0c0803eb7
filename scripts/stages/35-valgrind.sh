#!/usr/bin/env bash
# The test binary under valgrind's memcheck: any memory error, and any leak
# that is definitely or indirectly lost, fails the stage. valgrind runs one
# thread at a time, so the stage takes one core.
# packages: build usb-emulation valgrind
# after: 10-linux
# lane: wait
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build valgrind

build_linux_tree
log="$BRIVANT_ROOT/build/valgrind.log"
started=$(date +%s)
# Every test runs, the stress test included: valgrind runs one thread at a
# time (--fair-sched keeps the waiting loops moving), and it stays short.
valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
    --track-origins=yes --fair-sched=yes --log-file="$log" \
    "$BRIVANT_ROOT/build/tests/brivant_tests" | tee "$BRIVANT_ROOT/build/valgrind-tests.log" |
    grep -E "^(sweep|stress):|^\[  (PASSED|FAILED)|tests? from .* ran"
grep -E "ERROR SUMMARY|definitely lost|indirectly lost|All heap blocks were freed" "$log" | sed 's/^==[0-9]*== /valgrind: /'
count_matched "tests under valgrind" 's/^\[  PASSED  \] ([0-9]+) tests?.*/\1/p' "$BRIVANT_ROOT/build/valgrind-tests.log"
echo "valgrind: memcheck clean ($(( $(date +%s) - started )) s)"
