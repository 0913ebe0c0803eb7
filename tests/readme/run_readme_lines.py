"""Runs the README's shell lines that say they run on a machine without units.

  run_readme_lines.py README ROOT

A ```sh block right after the line `<!-- runs without units -->` is run as
printed, line by line in one bash (so an `export` carries to the next line),
from ROOT, with a HOME of its own that is removed afterwards. Each line must
exit 0. Prints one line per command and a closing count.
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

MARK = "<!-- runs without units -->"


def marked_blocks(text):
    lines = text.splitlines()
    blocks = []
    for i, line in enumerate(lines):
        if line.strip() != MARK:
            continue
        if i + 1 >= len(lines) or lines[i + 1].strip() != "```sh":
            raise SystemExit("README line %d: the mark is not followed by a ```sh block" % (i + 1))
        block = []
        for j in range(i + 2, len(lines)):
            if lines[j].strip() == "```":
                break
            block.append((j + 1, lines[j]))
        else:
            raise SystemExit("README line %d: the ```sh block never ends" % (i + 2))
        blocks.append(block)
    return blocks


def main():
    readme, root = sys.argv[1], os.path.abspath(sys.argv[2])
    with open(readme, encoding="utf-8") as f:
        blocks = marked_blocks(f.read())
    if not blocks:
        raise SystemExit("no block of %s is marked to run without units" % readme)
    home = tempfile.mkdtemp(prefix="readme-home-")
    env = dict(os.environ, HOME=home)
    env.pop("BRIVANT_BACKEND", None)  # as a new user's shell has it
    passed = failed = 0
    try:
        for block in blocks:
            # One shell per block; each line's status is checked on its own.
            script = ["cd %s" % shlex.quote(root)]
            commands = []
            for number, line in block:
                command = re.sub(r"\s+#.*$", "", line).strip()
                if not command or command.startswith("#"):
                    continue
                commands.append((number, command))
                script.append(command + " >/dev/null 2>&1 </dev/null; echo \"status %d $?\"" % number)
            done = subprocess.run(["bash", "-c", "\n".join(script)], env=env, capture_output=True,
                                  text=True, timeout=1800)
            statuses = dict(re.findall(r"^status (\d+) (\d+)$", done.stdout, re.M))
            for number, command in commands:
                status = statuses.get(str(number))
                if status == "0":
                    passed += 1
                    print("ok    README:%d: %s" % (number, command))
                else:
                    failed += 1
                    print("FAIL  README:%d: %s (exit %s)" % (number, command, status))
                    rerun = subprocess.run(["bash", "-c", "cd %s && %s" % (shlex.quote(root), command)],
                                           env=env, capture_output=True, text=True, timeout=600)
                    for output in (rerun.stdout, rerun.stderr):
                        for text in output.splitlines()[-8:]:
                            print("      " + text)
    finally:
        shutil.rmtree(home, ignore_errors=True)
    print("readme: %d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
