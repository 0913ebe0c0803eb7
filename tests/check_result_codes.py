#!/usr/bin/env python3
"""Every copy of the result-code table agrees with the one in brivant.h.

  check_result_codes.py REPO_ROOT

brivant.h defines each RC_* value and, in BRIVANT_RESULT_CODES, each code's
name and one-line meaning. The C++ wrapper expands that table itself; the
languages that cannot read a C header keep copies (Python's errors.py, the
.NET binding's Result.cs), and so does the README:
each must hold the same codes, with the same values, names and meanings.
"""
import re
import runpy
import sys
from pathlib import Path


def header_table(root):
    text = (root / "include" / "brivant.h").read_text(encoding="utf-8")
    values = {name: int(value) for name, value in
              re.findall(r"^#define (RC_\w+)\s+(\d+)\s*$", text, re.M)}
    body = re.search(r"#define BRIVANT_RESULT_CODES\(X\)(.*?)\n\n", text, re.S).group(1)
    meanings = dict(re.findall(r'X\((RC_\w+), "([^"]*)"\)', body))
    if set(values) != set(meanings):
        sys.exit("brivant.h: the #defines and BRIVANT_RESULT_CODES name different codes")
    return {values[name]: (name, meanings[name]) for name in values}


def python_table(root):
    errors = runpy.run_path(str(root / "python" / "brivant" / "errors.py"))
    table = {code: tuple(entry) for code, entry in errors["_RESULTS"].items()}
    constants = {name: value for name, value in errors.items() if name.startswith("RC_")}
    for code, (name, _) in table.items():
        if constants.get(name) != code:
            table[code] = (name + " (constant %r)" % constants.get(name), table[code][1])
    return table


def dotnet_table(root):
    text = (root / "bindings" / "dotnet" / "src" / "Result.cs").read_text(encoding="utf-8")
    enum = re.search(r"enum Result : short\s*\{(.*?)\}", text, re.S).group(1)
    values = {member: int(value) for member, value in re.findall(r"(\w+) = (\d+),", enum)}
    table = {}
    for member, name, meaning in re.findall(r'new Entry\(Result\.(\w+), "(RC_\w+)", "([^"]*)"\)', text):
        table[values.get(member, -1)] = (name, meaning)
    for member, value in values.items():  # an enum member without its entry
        table.setdefault(value, ("Result.%s without an entry" % member, None))
    return table


def readme_table(root):
    text = (root / "README.md").read_text(encoding="utf-8")
    rows = re.findall(r"^\| (\d+) \| `(RC_\w+)` \| [^|]* \| ([^|]*?) \|$", text, re.M)
    return {int(code): (name, meaning) for code, name, meaning in rows}


def main():
    root = Path(sys.argv[1]).resolve()
    want = header_table(root)
    copies = {"python/brivant/errors.py": python_table, "README.md": readme_table,
              "bindings/dotnet/src/Result.cs": dotnet_table}
    failed = False
    for where, read in copies.items():
        got = read(root)
        for code in sorted(set(want) | set(got)):
            if want.get(code) != got.get(code):
                failed = True
                print("%s: code %d is %r, brivant.h says %r" % (where, code, got.get(code),
                                                                want.get(code)))
    print("%d result codes; %d copies %s" % (len(want), len(copies),
                                            "differ" if failed else "agree with brivant.h"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
