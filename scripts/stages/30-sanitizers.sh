#!/usr/bin/env bash
# ThreadSanitizer (gcc, build-tsan/) on every test that starts a thread: the
# ones the thread probe saw start one in 10-linux and 25-usb, named here.
# The tests that run on one thread (frames, parsers, station files) are left
# to the other builds. Run alone, without those notes, it runs every test.
# Any report fails the run. serve from this tree runs against real servers
# in 47-servers-tsan.
# packages: build usb-emulation
# after: 10-linux 25-usb
# lane: build
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build usb-emulation
dir=$BRIVANT_ROOT/build-tsan
build_tsan_tree
tsan_options

notes=$BRIVANT_ROOT/build/thread-probe
selection=()
if [ -d "$notes" ] && [ -n "$(ls -A "$notes")" ]; then
    # Each of them must be a test of this tree too.
    /usr/bin/python3 "$BRIVANT_ROOT/tests/thread_probe/threaded_tests.py" "$BRIVANT_ROOT/build" "$notes" "$dir" \
        >"$dir/threaded-tests.txt"
    all=$(ctest --test-dir "$dir" -N | sed -n 's/^Total Tests: //p')
    echo "--- the $(wc -l <"$dir/threaded-tests.txt") tests that start threads, of $all:"
    sed 's/^/  /' "$dir/threaded-tests.txt"
    regex=$(sed 's/[][\\^$.|()*+?]/\\&/g' "$dir/threaded-tests.txt" | paste -sd'|')
    selection=(-R "^($regex)\$")
else
    echo "--- no notes of the thread probe in $notes (10-linux did not run): every test"
fi
ctest_counted "gcc TSan suite, the tests that start threads (ctest)" "$dir" "${selection[@]}"
no_sanitizer_report "TSan" "$dir"
