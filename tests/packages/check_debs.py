#!/usr/bin/python3
"""Checks the three Debian packages of one architecture, as built.

  check_debs.py ARCH VERSION DEB_DIR

For each of libbrivant4, libbrivant-dev and brivant: the file name, the
control fields (version, architecture, dependencies, Multi-Arch), exactly
the files it should hold, the soname links, and every ELF file built for
ARCH's machine, stripped, with no run path; the library's soname; the
conffile, the maintainer scripts, the shlibs file; the udev rule and the
service naming the installed tool and station file; brivant.pc leading to
the installed folders; the manual page.
"""
import gzip
import os
import re
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

# e_machine and the multiarch folder, by Debian architecture.
ARCHES = {
    "amd64": (62, "x86_64-linux-gnu", "readelf"),
    "arm64": (183, "aarch64-linux-gnu", "aarch64-linux-gnu-readelf"),
}

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def control_fields(deb):
    fields = {}
    key = None
    for line in run("dpkg-deb", "-f", deb).splitlines():
        if line.startswith(" ") and key:
            fields[key] += "\n" + line
        else:
            key, _, value = line.partition(": ")
            fields[key] = value
    return fields


def elf_machine(path):
    data = path.read_bytes()[:20]
    if data[:4] != b"\x7fELF":
        return None
    return data[4], struct.unpack_from("<H", data, 18)[0]  # class, e_machine


def expected_files(package, multiarch, version):
    lib = f"usr/lib/{multiarch}"
    so = version.split(".")[0]
    doc = [f"usr/share/doc/{package}/copyright", f"usr/share/doc/{package}/changelog.gz"]
    return {
        "libbrivant4": [f"{lib}/libbrivant.so.{so}", f"{lib}/libbrivant.so.{version}"],
        "libbrivant-dev": [
            "usr/include/brivant.h", "usr/include/brivant.hpp", "usr/include/brivant_version.h",
            f"{lib}/libbrivant.so", f"{lib}/pkgconfig/brivant.pc",
            f"{lib}/cmake/Brivant/BrivantConfig.cmake",
            f"{lib}/cmake/Brivant/BrivantConfigVersion.cmake",
            f"{lib}/cmake/Brivant/BrivantTargets.cmake",
            f"{lib}/cmake/Brivant/BrivantTargets-release.cmake",
        ],
        "brivant": [
            "usr/bin/brivant", "usr/lib/udev/rules.d/60-brivant.rules",
            "usr/lib/systemd/system/brivant-serve.service", "etc/brivant/station.toml",
            "usr/share/man/man1/brivant.1.gz",
        ],
    }[package] + doc


def check_elf(root, name, machine, readelf):
    path = root / name
    found = elf_machine(path)
    check(found == (2, machine), f"{name} is a 64-bit ELF file for machine {machine} ({found})")
    dynamic = run(readelf, "-d", str(path))
    check("RPATH" not in dynamic and "RUNPATH" not in dynamic, f"{name} has no run path")
    sections = run(readelf, "-S", "-W", str(path))
    check(".symtab" not in sections and ".debug_info" not in sections, f"{name} is stripped")
    check(" .comment " not in sections, f"{name} carries no compiler notes")
    return dynamic


def check_package(deb, package, arch, version, work):
    machine, multiarch, readelf = ARCHES[arch]
    print(f"--- {deb.name}")
    check(deb.name == f"{package}_{version}_{arch}.deb", f"the file is named {package}_{version}_{arch}.deb")
    fields = control_fields(str(deb))
    check(fields.get("Package") == package, f"Package: {package} ({fields.get('Package')})")
    check(fields.get("Version") == version, f"Version: {version} ({fields.get('Version')})")
    check(fields.get("Architecture") == arch, f"Architecture: {arch} ({fields.get('Architecture')})")
    depends = fields.get("Depends", "")
    if package == "libbrivant4":
        check(fields.get("Multi-Arch") == "same", "the library is Multi-Arch: same")
        check(re.search(r"\blibusb-1\.0-0 \(>= ", depends) is not None, f"it depends on libusb ({depends})")
        check("libc6 (>= " in depends, "on libc6, by version")
        check("libbrivant4" not in depends, "not on itself")
    elif package == "libbrivant-dev":
        check(fields.get("Multi-Arch") == "same", "the development files are Multi-Arch: same")
        check(depends == f"libbrivant4 (= {version})", f"it depends on exactly its library ({depends})")
    else:
        for needed in (f"libbrivant4 (>= {version})", "adduser", "libusb-1.0-0 (>= "):
            check(needed in depends, f"the tool depends on {needed} ({depends})")

    root = work / package
    run("dpkg-deb", "-x", str(deb), str(root))
    held = sorted(str(p.relative_to(root)) for p in root.rglob("*") if not p.is_dir() or p.is_symlink())
    expected = sorted(expected_files(package, multiarch, version))
    check(held == expected, f"it holds exactly its {len(expected)} files"
          + ("" if held == expected else f" (extra {sorted(set(held) - set(expected))},"
             f" missing {sorted(set(expected) - set(held))})"))

    control = work / (package + ".control")
    run("dpkg-deb", "-e", str(deb), str(control))
    lib = f"usr/lib/{multiarch}"
    so = version.split(".")[0]
    if package == "libbrivant4":
        link = root / f"{lib}/libbrivant.so.{so}"
        check(link.is_symlink() and os.readlink(link) == f"libbrivant.so.{version}",
              f"libbrivant.so.{so} links to libbrivant.so.{version}")
        dynamic = check_elf(root, f"{lib}/libbrivant.so.{version}", machine, readelf)
        check(f"Library soname: [libbrivant.so.{so}]" in dynamic, f"the soname is libbrivant.so.{so}")
        symbols = run(readelf, "--dyn-syms", "-W", str(root / f"{lib}/libbrivant.so.{version}"))
        # Num: Value Size Type Bind Vis Ndx Name
        rows = [line.split() for line in symbols.splitlines()]
        exported = sorted(row[7].split("@")[0] for row in rows
                          if len(row) >= 8 and row[3:5] == ["FUNC", "GLOBAL"] and row[6] != "UND")
        check(len(exported) == 13 and all(name.startswith("Brivant_") for name in exported),
              f"it exports the 13 Brivant_ functions and nothing else ({len(exported)}: {exported[:3]}...)")
        shlibs = (control / "shlibs").read_text()
        check(shlibs.strip() == f"libbrivant {so} libbrivant4 (>= {version})", f"shlibs: {shlibs.strip()}")
        check("ldconfig" in (control / "triggers").read_text(), "ldconfig runs after it")
    elif package == "libbrivant-dev":
        link = root / f"{lib}/libbrivant.so"
        check(link.is_symlink() and os.readlink(link) == f"libbrivant.so.{so}",
              f"libbrivant.so links to libbrivant.so.{so}")
        pc = (root / f"{lib}/pkgconfig/brivant.pc").read_text()
        variables = dict(re.findall(r"^(\w+)=(.*)$", pc, re.M))
        pcfiledir = f"/{lib}/pkgconfig"
        prefix = os.path.normpath(variables.get("prefix", "").replace("${pcfiledir}", pcfiledir))
        check(prefix == "/usr", f"brivant.pc's prefix is /usr ({prefix})")
        libdir = variables.get("libdir", "").replace("${prefix}", prefix)
        check(libdir == f"/{lib}", f"its libdir is /{lib} ({libdir})")
        check(f"\nVersion: {version}\n" in pc, f"it says version {version}")
        targets = (root / f"{lib}/cmake/Brivant/BrivantTargets-release.cmake").read_text()
        check(f"/{lib}/libbrivant.so.{version}" in targets.replace("${_IMPORT_PREFIX}", "/usr"),
              "the CMake package names the installed library")
    else:
        check_elf(root, "usr/bin/brivant", machine, readelf)
        check((control / "conffiles").read_text().split() == ["/etc/brivant/station.toml"],
              "the station file is its one conffile")
        for script in ("postinst", "prerm", "postrm"):
            path = control / script
            check(path.exists() and os.access(path, os.X_OK), f"{script} is there and runs")
        postinst = (control / "postinst").read_text()
        check("addgroup --system" in postinst, "postinst makes the group")
        check("[ -d /run/udev ]" in postinst and "[ -d /run/systemd/system ]" in postinst,
              "it reloads udev and systemd only where they run")
        rule = (root / "usr/lib/udev/rules.d/60-brivant.rules").read_text()
        check('IMPORT{program}="/usr/bin/brivant udev-probe $attr{busnum} $attr{devnum}"' in rule,
              "the udev rule asks the installed tool")
        check('ENV{BRIVANT_UNIT}=="1", GROUP="brivant", MODE="0660", TAG+="uaccess"' in rule,
              "and gives units to the group and the seat")
        check("@" not in rule.replace("$attr", ""), "the rule has no placeholder left")
        service = (root / "usr/lib/systemd/system/brivant-serve.service").read_text()
        check("\nExecStart=/usr/bin/brivant serve --config /etc/brivant/station.toml" in service,
              "the service runs the installed tool with the station file")
        check("SupplementaryGroups=brivant" in service, "in the group of the rule")
        check("StateDirectory=brivant" in service and " --save" in service,
              "changes made through the API kept in its state folder, not in /etc")
        page = gzip.decompress((root / "usr/share/man/man1/brivant.1.gz").read_bytes()).decode()
        check(page.startswith(".\\\"") or page.startswith(".TH"), "the manual page is roff")
        check(re.search(r'^\.TH BRIVANT "1"', page, re.M) is not None, "in section 1")
        for command in ("serve", "udev-probe", "list", "read"):
            check(f".SS {command}\n" in page, f"it tells of {command}")
        check("/etc/brivant/station.toml" in page, "and of the station file")
    copyright_text = (root / f"usr/share/doc/{package}/copyright").read_text()
    check(copyright_text.startswith("Format: "), "the copyright file is machine-readable")


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    arch, version, folder = sys.argv[1], sys.argv[2], Path(sys.argv[3])
    if arch not in ARCHES:
        print(f"no architecture {arch}")
        return 2
    with tempfile.TemporaryDirectory() as work:
        for package in ("libbrivant4", "libbrivant-dev", "brivant"):
            deb = folder / f"{package}_{version}_{arch}.deb"
            if not deb.exists():
                check(False, f"{deb.name} was built")
                continue
            check_package(deb, package, arch, version, Path(work))
    print(f"packages {arch}: {'FAILED: ' + str(len(failures)) if failures else 'all checks passed'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
