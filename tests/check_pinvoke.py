#!/usr/bin/env python3
"""The .NET binding's P/Invoke declarations against brivant.h: the same 13
functions with the same parameter types, one for one.

  check_pinvoke.py include/brivant.h bindings/dotnet/src/NativeMethods.cs

A type that is merely wide enough (int for int16_t) works by accident in a
64-bit process, where every argument takes a register or an 8-byte slot, and
breaks a 32-bit __stdcall call, where the callee pops what its own types say.
"""
import re
import sys

# C parameter type -> the C# types that pass exactly it.
EXACT = {
    "int16_t": {"short"},
    "uint8_t": {"byte"},
    "const uint32_t *": {"[In] uint[]", "uint[]"},
    "int32_t *": {"[Out] int[]", "int[]", "out int"},
    "uint8_t *": {"[Out] byte[]", "byte[]", "out byte"},
}
RETURNS = {"int16_t": "short", "void": "void"}


def c_functions(text):
    found = {}
    # An optional calling-convention macro may stand between type and name.
    for ret, name, params in re.findall(r"BRIVANT_API\s+(\w+)\s+(?:\w+\s+)?(Brivant_\w+)\s*\(([^)]*)\)",
                                         text):
        types = []
        for param in params.split(","):
            param = " ".join(param.split())
            match = re.match(r"(.*?)\s*(\w+)$", param)
            types.append(re.sub(r"\s*\*", " *", match.group(1)).strip())
        found[name] = (ret, types)
    return found


def cs_functions(text):
    found = {}
    for ret, name, params in re.findall(r"static\s+extern\s+(\w+)\s+(Brivant_\w+)\s*\(([^)]*)\)", text):
        types = [" ".join(p.split()[:-1]) for p in params.split(",")]
        found[name] = (ret, types)
    return found


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    c = c_functions(open(sys.argv[1], encoding="utf-8").read())
    cs = cs_functions(open(sys.argv[2], encoding="utf-8").read())
    problems = []
    if len(c) != 13:
        problems.append("brivant.h declares %d functions, not 13" % len(c))
    if set(c) != set(cs):
        problems.append("functions differ: only in C %s, only in C# %s"
                        % (sorted(set(c) - set(cs)), sorted(set(cs) - set(c))))
    for name in sorted(set(c) & set(cs)):
        (c_ret, c_types), (cs_ret, cs_types) = c[name], cs[name]
        if RETURNS.get(c_ret) != cs_ret:
            problems.append("%s returns %s in C, %s in C#" % (name, c_ret, cs_ret))
        if len(c_types) != len(cs_types):
            problems.append("%s takes %d parameters in C, %d in C#" % (name, len(c_types), len(cs_types)))
            continue
        for i, (c_type, cs_type) in enumerate(zip(c_types, cs_types)):
            if cs_type not in EXACT.get(c_type, set()):
                problems.append("%s parameter %d: %s in C, %s in C#" % (name, i + 1, c_type, cs_type))
    for problem in problems:
        print("FAIL " + problem)
    print("P/Invoke check: %d functions, %d problems" % (len(cs), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
