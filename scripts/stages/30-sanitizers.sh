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
    /usr/bin/python3 "$BRIVANT_ROOT/tests/thread_probe/threaded_tests.py" "$BRIVANT_ROOT/build" "$notes" \
        >"$dir/threaded-tests.txt"
    # Each of them must be a test of this tree too.
    ctest --test-dir "$dir" --show-only=json-v1 |
        /usr/bin/python3 -c 'import json, sys; print("\n".join(t["name"] for t in json.load(sys.stdin)["tests"]))' \
        >"$dir/all-tests.txt"
    missing=$(grep -vxFf "$dir/all-tests.txt" "$dir/threaded-tests.txt" || true)
    if [ -n "$missing" ]; then
        echo "tests that start threads but are not in $dir:" >&2
        echo "$missing" >&2
        exit 1
    fi
    echo "--- the $(wc -l <"$dir/threaded-tests.txt") tests that start threads, of $(wc -l <"$dir/all-tests.txt"):"
    sed 's/^/  /' "$dir/threaded-tests.txt"
    regex=$(sed 's/[][\\^$.|()*+?]/\\&/g' "$dir/threaded-tests.txt" | paste -sd'|')
    selection=(-R "^($regex)\$")
else
    echo "--- no notes of the thread probe in $notes (10-linux did not run): every test"
fi
ctest_counted "gcc TSan suite, the tests that start threads (ctest)" "$dir" "${selection[@]}"
no_sanitizer_report "TSan" "$dir"
