#!/usr/bin/env bash
# The thread probe and threaded_tests.py over a small ctest tree of their
# own: a test whose program starts a thread, one whose script runs a program
# that starts one, and two that start none; only the first two are named.
#   probe_test.sh PROBE.so
set -uo pipefail
probe=$(realpath "${1:?usage: probe_test.sh PROBE.so}")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src" "$work/notes"
cat >"$work/src/threads.py" <<'PY'
import threading
t = threading.Thread(target=lambda: None)
t.start()
t.join()
PY
cat >"$work/src/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(probe_check NONE)
enable_testing()
add_test(NAME starts_a_thread COMMAND /usr/bin/python3 $work/src/threads.py)
add_test(NAME script_runs_a_threaded_program COMMAND sh -c "/usr/bin/python3 $work/src/threads.py; true")
add_test(NAME starts_none COMMAND /usr/bin/python3 -c "print(1)")
add_test(NAME shell_alone COMMAND sh -c "true")
CMAKE
cmake -S "$work/src" -B "$work/build" >/dev/null || exit 1
BRIVANT_THREAD_PROBE_DIR=$work/notes LD_PRELOAD=$probe ctest --test-dir "$work/build" >"$work/ctest.log" 2>&1 ||
    { cat "$work/ctest.log"; exit 1; }
named=$(/usr/bin/python3 "$here/threaded_tests.py" "$work/build" "$work/notes" | tr '\n' ' ')
expected="script_runs_a_threaded_program starts_a_thread "
if [ "$named" != "$expected" ]; then
    echo "FAIL: the probe named '$named', not '$expected'"
    ls -l "$work/notes"
    exit 1
fi
# Without the probe nothing is noted, so nothing is named.
rm -rf "$work/notes" && mkdir -p "$work/notes"
ctest --test-dir "$work/build" >/dev/null 2>&1
[ -z "$(/usr/bin/python3 "$here/threaded_tests.py" "$work/build" "$work/notes")" ] ||
    { echo "FAIL: tests named with no notes"; exit 1; }
echo "thread probe: the two tests that start threads named, the two that do not left out"
