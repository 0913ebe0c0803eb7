"""Names the ctest tests of BUILD_DIR that started a thread in a run with
thread_probe.so preloaded: each note of the probe holds the command lines of
the process that started one and of its parents, and the test is the one
whose command is among them (a test's own process, or the script that ran
the program that did).

  threaded_tests.py BUILD_DIR PROBE_DIR   prints the names, one a line
"""
import json
import os
import subprocess
import sys


def command_key(arguments):
    # ctest starts a command by its full path; a script's may be named bare.
    return (os.path.basename(arguments[0]),) + tuple(arguments[1:])


def main():
    build_dir, probe_dir = sys.argv[1], sys.argv[2]
    listing = subprocess.run(["ctest", "--test-dir", build_dir, "--show-only=json-v1"],
                             check=True, capture_output=True, text=True).stdout
    tests = {}
    for test in json.loads(listing)["tests"]:
        if test.get("command"):
            tests.setdefault(command_key(test["command"]), set()).add(test["name"])
    threaded = set()
    for note in os.listdir(probe_dir):
        with open(os.path.join(probe_dir, note), encoding="utf-8", errors="replace") as f:
            for line in f.read().splitlines():
                names = tests.get(command_key(line.split("\x1f")))
                if names:
                    threaded |= names
                    break
    for name in sorted(threaded):
        print(name)


if __name__ == "__main__":
    main()
