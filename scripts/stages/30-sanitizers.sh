#!/usr/bin/env bash
# The Linux test suite again, the libusb backend's tests over emulated units
# included, built once with AddressSanitizer and UndefinedBehaviorSanitizer
# and once with ThreadSanitizer. Any report fails
# the run: the builds do not recover from errors and the options below make a
# report exit non-zero.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
need build usb-emulation

export ASAN_OPTIONS=halt_on_error=1:abort_on_error=0:exitcode=66:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=67
export TSAN_OPTIONS=halt_on_error=1:exitcode=68:second_deadlock_stack=1

run_suite() {
    local name=$1 dir=$2 sanitize=$3
    local started
    started=$(date +%s)
    echo "--- $name: building in $dir"
    configure_and_build "$dir" -DBRIVANT_SANITIZE="$sanitize" -DBRIVANT_USB_TESTS=ON
    echo "--- $name: running the test suite"
    ctest --test-dir "$dir" --output-on-failure -j "$BRIVANT_JOBS" | tee "$dir/ctest.log"
    # A sanitizer report that somehow did not fail its test still fails here.
    if grep -qE "ERROR: (Address|Leak)Sanitizer|runtime error:|WARNING: ThreadSanitizer" \
        "$dir/Testing/Temporary/LastTest.log"; then
        echo "$name: sanitizer report found in the test log" >&2
        return 1
    fi
    grep -E "tests passed" "$dir/ctest.log" | sed "s/^/$name: /"
    grep -E "^usb +=" "$dir/ctest.log" | sed "s/^/$name: libusb backend tests: /" || true
    grep -hE "^(sweep|stress):" "$dir/Testing/Temporary/LastTest.log" | sed "s/^/$name: /" || true
    echo "$name: no sanitizer report ($(( $(date +%s) - started )) s)"
}

run_suite "ASan+UBSan" "$BRIVANT_ROOT/build-asan" address,undefined
run_suite "TSan" "$BRIVANT_ROOT/build-tsan" thread
