#!/usr/bin/python3
"""Static checks of a built BRIVANT.dll (run with /usr/bin/python3, which sees
python3-pefile).

  check_dll.py [--arch x64|x86] VERSION BRIVANT.dll include/brivant.h [DIST_DIR]

Checks the machine type against --arch (x64 when not given), the export
table against the header's declarations, the import list against the DLLs
every Windows has, and the version resource against VERSION (the project's,
e.g. 4.1.0). With DIST_DIR, also checks that the distribution folder holds
both import libraries and the header, and that each import library lets a
caller compiled with brivant.h reach the 13 undecorated exports: on x86 the
caller's references are __stdcall-decorated (_Brivant_Device_Open@4), and the
library must map them onto the undecorated names.
"""
import os
import re
import subprocess
import sys

import pefile

SYSTEM_DLLS = {"kernel32.dll", "setupapi.dll", "winusb.dll", "msvcrt.dll"}
RUNTIME_DLLS = {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "libgcc_s_dw2-1.dll",
                "libgcc_s_sjlj-1.dll", "libwinpthread-1.dll"}
MACHINES = {"x64": "IMAGE_FILE_MACHINE_AMD64", "x86": "IMAGE_FILE_MACHINE_I386"}
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
    """The functions brivant.h declares, each with its argument count."""
    text = open(header_path, encoding="utf-8").read()
    found = re.findall(r"BRIVANT_API\s+\w+\s+BRIVANT_CALL\s+(Brivant_\w+)\s*\(([^)]*)\)", text)
    return {name: len(params.split(",")) for name, params in found}


def import_symbol(name, arity, arch):
    """What a caller compiled with brivant.h references: on x86 a __stdcall
    name with the bytes of its arguments, each passed in 4."""
    return f"__imp__{name}@{4 * arity}" if arch == "x86" else f"__imp_{name}"


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


def import_names_msvc(path):
    """Symbols and imported names of a short-format import library."""
    dump = subprocess.run(["llvm-readobj", path], capture_output=True, text=True).stdout
    symbols, names = set(), set()
    for name_type, symbol in re.findall(r"Name type: (\w+)\nSymbol: (__imp_\S+)", dump):
        symbols.add(symbol)
        bare = symbol[len("__imp_"):]
        if name_type == "undecorate":
            bare = re.sub(r"@\d+$", "", bare.lstrip("_?@"))
        elif name_type == "noprefix":
            bare = bare.lstrip("_?@")
        names.add(bare)
    return symbols, names


def import_names_mingw(path, arch):
    """Symbols and imported names (from each member's hint/name entry) of a
    GNU import library."""
    prefix = "i686-w64-mingw32-" if arch == "x86" else "x86_64-w64-mingw32-"
    nm = subprocess.run([prefix + "nm", path], capture_output=True, text=True).stdout
    symbols = set(re.findall(r" I (__imp_\S+)", nm))
    dump = subprocess.run([prefix + "objdump", "-s", "-j", ".idata$6", path],
                          capture_output=True, text=True).stdout
    names = set()
    for section in dump.split("Contents of section .idata$6:")[1:]:
        data = bytes.fromhex("".join(re.findall(r"^ [0-9a-f]{4} ((?:[0-9a-f]{2,8} ?)+)", section,
                                                re.M)).replace(" ", ""))
        names.add(data[2:].split(b"\0")[0].decode())
    return symbols, names


def check_dist(dist, functions, arch, version):
    files = ["BRIVANT.dll", "BRIVANT.dll.a", "BRIVANT.lib", "BRIVANT.def", "include/brivant.h",
             "include/brivant_version.h", "include/brivant.hpp", "dotnet/Brivant.Net.dll",
             "dotnet/Brivant.Net.xml", "dotnet/Brivant.%s.nupkg" % version,
             "dotnet/Brivant.%s.snupkg" % version,
             "dotnet/ReadCounts.cs"]
    if arch == "x64":  # the tool ships with the 64-bit build only
        files.append("brivant.exe")
    for name in files:
        check(os.path.isfile(os.path.join(dist, name)), f"distribution holds {name}")
    # The Linux wheel travels with the 64-bit folder.
    tags = {"x64": ["win_amd64", "linux_x86_64"], "x86": ["win32"]}[arch]
    folder = os.path.join(dist, "python")
    wheels = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
    check(len(wheels) == len(tags) and all(any(w.endswith(f"-{tag}.whl") for w in wheels)
                                           for tag in tags),
          f"distribution holds the {' and '.join(tags)} wheel{'s' if len(tags) > 1 else ''} ({', '.join(wheels)})")
    tool = os.path.join(dist, "brivant.exe")
    if os.path.isfile(tool):
        pe = pefile.PE(tool)
        dlls = {e.dll.decode().lower() for e in pe.DIRECTORY_ENTRY_IMPORT}
        print("     brivant.exe imports:", ", ".join(sorted(dlls)))
        # The panel's server and MQTT need sockets (ws2_32), the token bcrypt's
        # random source, --version the version resource reader, opening the
        # browser shell32, the service and its ACLs advapi32, OpenSSL the
        # certificate store (crypt32) and user32: all part of every Windows
        # (OpenSSL, libmosquitto and SQLite are linked in).
        check(dlls <= {"brivant.dll", "kernel32.dll", "msvcrt.dll", "ws2_32.dll", "bcrypt.dll",
                       "version.dll", "shell32.dll", "advapi32.dll", "crypt32.dll", "user32.dll"},
              "brivant.exe needs only BRIVANT.dll and system DLLs")
    want_symbols = {import_symbol(name, arity, arch) for name, arity in functions.items()}
    for lib, read in (("BRIVANT.lib", import_names_msvc),
                      ("BRIVANT.dll.a", lambda path: import_names_mingw(path, arch))):
        path = os.path.join(dist, lib)
        if not os.path.isfile(path):
            continue
        symbols, names = read(path)
        check(symbols == want_symbols,
              f"{lib} defines the 13 symbols a caller references ({sorted(want_symbols)[0]}, ...)"
              + ("" if symbols == want_symbols
                 else f" (missing {sorted(want_symbols - symbols)}, extra {sorted(symbols - want_symbols)})"))
        check(names == set(functions), f"{lib} imports the 13 undecorated names"
              + ("" if names == set(functions) else f" (got {sorted(names)})"))


def main():
    args = sys.argv[1:]
    arch = "x64"
    if args[:1] == ["--arch"] and len(args) > 1:
        arch, args = args[1], args[2:]
    if arch not in MACHINES or len(args) not in (3, 4):
        print(__doc__)
        return 2
    version, dll, header = args[0] + ".0", args[1], args[2]
    functions = header_functions(header)
    expected = sorted(functions)
    pe = pefile.PE(dll)
    check(pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE[MACHINES[arch]],
          f"{arch} image ({MACHINES[arch]})")
    check(pe.is_dll(), "the image is a DLL")
    check_exports(pe, expected)
    check_imports(pe)
    check_version(pe, version)
    if len(args) == 4:
        check_dist(args[3], functions, arch, args[0])
    print(f"     size: {os.path.getsize(dll)} bytes")
    print(f"binary checks: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
