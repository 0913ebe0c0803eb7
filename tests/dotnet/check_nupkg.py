#!/usr/bin/env python3
"""The Brivant NuGet package's contents: every target folder, every native
library built for its runtime (PE machine, ELF class and machine), the
README, the targets file and the metadata the gallery shows.

  check_nupkg.py NUPKG SNUPKG VERSION [RID...]

The RIDs are the runtimes/ folders the package must hold (default win-x64,
win-x86, linux-x64). Prints one line per check and exits 1 on any failure.
"""
import re
import struct
import sys
import zipfile

PE_MACHINE = {"win-x64": 0x8664, "win-x86": 0x014C}
ELF = {"linux-x64": (2, 62), "linux-arm64": (2, 183)}  # (EI_CLASS, e_machine)
FRAMEWORKS = ("netstandard2.0", "net462", "net8.0")

failures = 0


def check(ok, what):
    global failures
    print(("ok    " if ok else "FAIL  ") + what)
    failures += 0 if ok else 1


def pe_machine(data):
    if data[:2] != b"MZ":
        return None
    at = struct.unpack_from("<I", data, 0x3C)[0]
    if data[at:at + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", data, at + 4)[0]


def elf_kind(data):
    if data[:4] != b"\x7fELF":
        return None
    return data[4], struct.unpack_from("<H", data, 18)[0]


def main():
    nupkg, snupkg, version = sys.argv[1:4]
    rids = sys.argv[4:] or ["win-x64", "win-x86", "linux-x64"]
    with zipfile.ZipFile(nupkg) as package:
        names = set(package.namelist())
        nuspec = package.read("Brivant.nuspec").decode("utf-8-sig")
        for framework in FRAMEWORKS:
            for suffix in ("dll", "xml"):
                check("lib/%s/Brivant.Net.%s" % (framework, suffix) in names,
                      "lib/%s holds Brivant.Net.%s" % (framework, suffix))
        for rid in rids:
            if rid.startswith("win"):
                path = "runtimes/%s/native/BRIVANT.dll" % rid
                machine = pe_machine(package.read(path)) if path in names else None
                check(machine == PE_MACHINE[rid], "%s is a PE image for %s (machine %s)"
                      % (path, rid, hex(machine) if machine else None))
            else:
                path = "runtimes/%s/native/libbrivant.so" % rid
                kind = elf_kind(package.read(path)) if path in names else None
                check(kind == ELF[rid], "%s is a 64-bit ELF image for %s (%s)" % (path, rid, kind))
        extra = sorted(n for n in names if n.startswith("runtimes/")
                       and n.split("/")[1] not in rids)
        check(not extra, "no native library for a runtime not asked for %s" % extra)
        check("build/net462/Brivant.targets" in names, "build/net462/Brivant.targets for .NET Framework")
        check("README.md" in names and "<readme>README.md</readme>" in nuspec, "the README shown by the gallery")
        for field, pattern in [("id", r"^Brivant$"), ("version", "^%s$" % re.escape(version)),
                               ("description", r"^.{40,}$"), ("license", r"^MIT$"),
                               ("tags", r"\busb\b"), ("releaseNotes", re.escape(version)),
                               ("authors", r"\S")]:
            match = re.search(r"<%s[^>]*>([^<]*)</%s>" % (field, field), nuspec)
            check(bool(match and re.search(pattern, match.group(1))),
                  "nuspec %s: %s" % (field, match.group(1) if match else None))
        for framework in (".NETFramework4.6.2", "net8.0", ".NETStandard2.0"):
            check('targetFramework="%s"' % framework in nuspec, "a dependency group for " + framework)
    with zipfile.ZipFile(snupkg) as symbols:
        for framework in FRAMEWORKS:
            check("lib/%s/Brivant.Net.pdb" % framework in symbols.namelist(),
                  "the symbols package holds lib/%s/Brivant.Net.pdb" % framework)
    print("nupkg: %d failed" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
