#!/usr/bin/python3
"""Static checks of a built BRIVANT.dll (run with /usr/bin/python3, which sees
python3-pefile).

  check_dll.py VERSION BRIVANT.dll include/brivant.h [DIST_DIR]

Checks the export table against the header's declarations, the import list
against the DLLs every Windows has, and the version resource against VERSION
(the project's, e.g. 4.1.0). With DIST_DIR,
also checks that the distribution folder holds both import libraries and the
header, and that the MSVC one names all 13 functions.
"""
import os
import re
import subprocess
import sys

import pefile

SYSTEM_DLLS = {"kernel32.dll", "setupapi.dll", "winusb.dll", "msvcrt.dll"}
RUNTIME_DLLS = {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll"}
NEEDED_IMPORTS = {
    "setupapi.dll": {"SetupDiGetClassDevsW", "SetupDiEnumDeviceInterfaces",
                     "SetupDiGetDeviceInterfaceDetailW", "SetupDiDestroyDeviceInfoList"},
    "winusb.dll": {"WinUsb_Initialize", "WinUsb_Free", "WinUsb_WritePipe", "WinUsb_ReadPipe"},
    "kernel32.dll": {"CreateFileW", "CloseHandle", "CreateMutexW", "LocalAlloc", "LocalFree",
                     "GetLastError"},
}
VERSION_STRINGS = {
    "FileDescription": "BRIVANT",
    "InternalName": "BRIVANT.dll",
    "OriginalFilename": "BRIVANT.dll",
}

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


def header_functions(header_path):
    text = open(header_path, encoding="utf-8").read()
    return sorted(set(re.findall(r"BRIVANT_API\s+\w+\s+BRIVANT_CALL\s+(Brivant_\w+)\s*\(", text)))


def check_exports(pe, expected):
    check(len(expected) == 13, f"the header declares 13 functions (found {len(expected)})")
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    check(exports is not None, "the image has an export table")
    if exports is None:
        return
    got = sorted((s.ordinal, (s.name or b"").decode()) for s in exports.symbols)
    want = [(i + 1, name) for i, name in enumerate(expected)]
    check(got == want, "exports are exactly the 13 names with ordinals 1..13 alphabetical")
    if got != want:
        print("     got:  ", got)
        print("     want: ", want)
    check(exports.struct.Base == 1 and exports.struct.NumberOfFunctions == 13,
          "ordinal base 1, 13 entries in the address table")
    dll_name = pe.get_string_at_rva(exports.struct.Name).decode()
    check(dll_name == "BRIVANT.dll", f"export directory names the DLL BRIVANT.dll ({dll_name})")


def check_imports(pe):
    imports = {e.dll.decode().lower(): {(i.name or b"").decode() for i in e.imports}
               for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    print("     imports:", ", ".join(sorted(imports)))
    check(set(imports) <= SYSTEM_DLLS, "imports only kernel32, setupapi, winusb, msvcrt")
    check(not set(imports) & RUNTIME_DLLS, "no MinGW runtime DLL imported")
    for dll, names in NEEDED_IMPORTS.items():
        missing = names - imports.get(dll, set())
        check(not missing, f"{dll} provides {', '.join(sorted(names))}"
              + (f" (missing {', '.join(sorted(missing))})" if missing else ""))


def check_version(pe, version):
    check(hasattr(pe, "VS_FIXEDFILEINFO") and hasattr(pe, "FileInfo"),
          "the image has a version resource")
    if not hasattr(pe, "VS_FIXEDFILEINFO") or not hasattr(pe, "FileInfo"):
        return
    fixed = pe.VS_FIXEDFILEINFO[0]
    def dotted(ms, ls):
        return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    check(dotted(fixed.FileVersionMS, fixed.FileVersionLS) == version,
          f"fixed file version {version}")
    check(dotted(fixed.ProductVersionMS, fixed.ProductVersionLS) == version,
          f"fixed product version {version}")
    strings = {}
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    wanted = dict(VERSION_STRINGS, FileVersion=version, ProductVersion=version)
    for key, value in wanted.items():
        check(strings.get(key) == value, f"version string {key} = {value!r} ({strings.get(key)!r})")


def check_dist(dist, expected):
    for name in ("BRIVANT.dll", "BRIVANT.dll.a", "BRIVANT.lib", "brivant.exe", "include/brivant.h",
                 "include/brivant_version.h", "include/brivant.hpp", "python/brivant/__init__.py",
                 "python/brivant/_version.py"):
        check(os.path.isfile(os.path.join(dist, name)), f"distribution holds {name}")
    tool = os.path.join(dist, "brivant.exe")
    if os.path.isfile(tool):
        pe = pefile.PE(tool)
        dlls = {e.dll.decode().lower() for e in pe.DIRECTORY_ENTRY_IMPORT}
        print("     brivant.exe imports:", ", ".join(sorted(dlls)))
        check(dlls <= {"brivant.dll", "kernel32.dll", "msvcrt.dll"},
              "brivant.exe needs only BRIVANT.dll and system DLLs")
    for lib in ("BRIVANT.lib", "BRIVANT.dll.a"):
        path = os.path.join(dist, lib)
        if not os.path.isfile(path):
            continue
        nm = subprocess.run(["llvm-nm", path], capture_output=True, text=True)
        symbols = set(re.findall(r"__imp_(Brivant_\w+)", nm.stdout))
        check(symbols == set(expected), f"{lib} imports all 13 functions")


def main():
    if len(sys.argv) not in (4, 5):
        print(__doc__)
        return 2
    version, dll, header = sys.argv[1] + ".0", sys.argv[2], sys.argv[3]
    expected = header_functions(header)
    pe = pefile.PE(dll)
    check(pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"],
          "64-bit x86 image")
    check(pe.is_dll(), "the image is a DLL")
    check_exports(pe, expected)
    check_imports(pe)
    check_version(pe, version)
    if len(sys.argv) == 5:
        check_dist(sys.argv[4], expected)
    print(f"     size: {os.path.getsize(dll)} bytes")
    print(f"binary checks: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
