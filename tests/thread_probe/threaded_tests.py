"""Names the ctest tests of BUILD_DIR that started a thread in a run with
thread_probe.so preloaded: each note of the probe holds the command lines of
the process that started one and of its parents up to ctest, and the test is
the process ctest started (the program itself, or the script that ran the
program that did).

  threaded_tests.py BUILD_DIR PROBE_DIR [OTHER_BUILD_DIR]
prints the names, one a line; with OTHER_BUILD_DIR (the tree that is to run
them), fails naming any that tree does not have.
"""
import json
import os
import subprocess
import sys


def command_key(arguments):
    # ctest starts a command by its full path; a script's may be named bare.
    return (os.path.basename(arguments[0]),) + tuple(arguments[1:])


def ctest_tests(build_dir):
    listing = subprocess.run(["ctest", "--test-dir", build_dir, "--show-only=json-v1"],
                             check=True, capture_output=True, text=True).stdout
    return json.loads(listing)["tests"]


def main():
    build_dir, probe_dir = sys.argv[1], sys.argv[2]
    tests = {}
    for test in ctest_tests(build_dir):
        if test.get("command"):
            tests.setdefault(command_key(test["command"]), set()).add(test["name"])
    threaded = set()
    for note in os.listdir(probe_dir):
        with open(os.path.join(probe_dir, note), encoding="utf-8", errors="replace") as f:
            chain = [line.split("\x1f") for line in f.read().splitlines()]
        # The test is the process ctest started: the one just below ctest in
        # the chain. (Matching any line would give a program that a test's
        # script runs to another test that runs the same command.)
        for below, arguments in zip(chain, chain[1:]):
            if os.path.basename(arguments[0]) == "ctest":
                threaded |= tests.get(command_key(below), set())
                break
    if len(sys.argv) > 3:
        missing = threaded - {test["name"] for test in ctest_tests(sys.argv[3])}
        if missing:
            sys.exit("tests that start threads but are not in %s:\n  %s"
                     % (sys.argv[3], "\n  ".join(sorted(missing))))
    for name in sorted(threaded):
        print(name)


if __name__ == "__main__":
    main()
