#!/usr/bin/python3
"""Checks the built setup.exe as Windows will see it before running it.

usage: check_pe.py SETUP_EXE VERSION
VERSION is the product's version as the build has it, e.g. 1.5.0.113805.
Prints one line per finding and exits 1 when any check fails.
"""
import os
import sys

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "release"))
from nerim_release.pe_checks import manifest_problems, version_tables, whole_pe_problem  # noqa: E402

# The shipped exe is about 29 KB because the small-runtime header keeps the
# C++ exception and unwinding runtime out (with it back in, 176 KB): a budget
# a quarter above that lets the program grow a little and still catches the
# runtime's return, and so does the unwind table's size (about 2 KB without
# it, tens of KB with it). Checked with Debian 12's g++-mingw-w64-i686-win32
# 12.2.0-14+deb12u1+25.2 and binutils-mingw-w64-i686 2.40-2+10.4; another
# compiler may need the header looked at again before these are raised.
SIZE_BUDGET = 36 * 1024
EH_FRAME_BUDGET = 4 * 1024
# Windows' own DLLs; anything else (libstdc++-6.dll, libwinpthread-1.dll...)
# would have to lie beside setup.exe on the medium, where others may plant one.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}


def version_problems(pe, version):
    """The version resource against the build's version; the fourth binary
    number is the build number where it fits in 16 bits, else 65535."""
    numbers = [int(n) for n in version.split(".")]
    expected_strings = {
        "CompanyName": "Brenk", "FileDescription": "Nerim Setup", "FileVersion": version,
        "InternalName": "setup", "OriginalFilename": "setup.exe", "ProductName": "Nerim",
        "ProductVersion": version}
    tables = version_tables(pe)
    if [language for language, _ in tables] != ["040904E4"]:
        return ["version strings %r, expected one table 040904E4" % [t[0] for t in tables]]
    found = tables[0][1]
    problems = ["version string %s is %r, expected %r" % (name, found.get(name), value)
                for name, value in expected_strings.items() if found.get(name) != value]
    if not found.get("LegalCopyright", "").startswith("Copyright"):
        problems.append("no LegalCopyright line")
    fixed = pe.VS_FIXEDFILEINFO[0]
    binary = (numbers[0] << 16 | numbers[1], numbers[2] << 16 | min(numbers[3], 65535))
    for field in ("File", "Product"):
        if (getattr(fixed, field + "VersionMS"), getattr(fixed, field + "VersionLS")) != binary:
            problems.append("binary %s version is not %d.%d.%d.%d" % (
                field.lower(), numbers[0], numbers[1], numbers[2], binary[1] & 0xFFFF))
    return problems


def header_problems(pe, size):
    header = pe.OPTIONAL_HEADER
    characteristics = header.DllCharacteristics
    checks = [
        (pe.FILE_HEADER.Machine == 0x14C, "machine is not i386"),
        (header.Subsystem == 2, "subsystem %d, not GUI (2)" % header.Subsystem),
        ((header.MajorSubsystemVersion, header.MinorSubsystemVersion) == (6, 0),
         "subsystem version not 6.0"),
        ((header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion) == (6, 0),
         "OS version not 6.0"),
        (characteristics & 0x40, "no ASLR (DYNAMIC_BASE)"),
        (characteristics & 0x100, "no DEP (NX_COMPAT)"),
        (not pe.FILE_HEADER.Characteristics & 0x1, "relocations stripped, so ASLR cannot move it"),
        (size <= SIZE_BUDGET, "%d bytes, over the %d budget" % (size, SIZE_BUDGET)),
        (pe.FILE_HEADER.TimeDateStamp == 0, "a build time stamp in the header"),
        (header.CheckSum == pe.generate_checksum(), "checksum field is not the file's checksum"),
    ]
    return [message for ok, message in checks if not ok]


# The file-status calls whose size field is 32 bits wide: on Windows they fail
# with EOVERFLOW for a file of 2 GiB or more, and a marker that large would
# read as absent. Wine's runtime answers them as it answers _stat64, so no
# run under wine can tell them apart; only the import table can.
NARROW_STAT_CALLS = {"_stat", "_stat32", "_fstat", "_fstat32", "_wstat", "_wstat32"}


def import_problems(pe):
    entries = getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    names = {entry.dll.decode().lower() for entry in entries}
    problems = ["imports %s" % name for name in sorted(names - SYSTEM_DLLS)]
    calls = {i.name.decode() for entry in entries for i in entry.imports if i.name}
    problems += ["imports %s, whose size is 32 bits wide" % call
                 for call in sorted(calls & NARROW_STAT_CALLS)]
    if "_stat64" not in calls:
        problems.append("does not import _stat64, which the marker and driver probes use")
    return problems


def eh_frame_problems(pe):
    sizes = [s.Misc_VirtualSize for s in pe.sections if s.Name.rstrip(b"\0") in (b".eh_fram", b".eh_frame")]
    return ["unwind tables of %d bytes, over %d: the exception runtime is back" % (size, EH_FRAME_BUDGET)
            for size in sizes if size > EH_FRAME_BUDGET]


def main(path, version):
    with open(path, "rb") as file:
        data = file.read()
    whole = whole_pe_problem(data)
    if whole:
        print("setup.exe " + whole)
        return 1
    pe = pefile.PE(data=data)
    problems = (header_problems(pe, len(data)) + import_problems(pe) + eh_frame_problems(pe) +
                manifest_problems(pe) + version_problems(pe, version))
    for problem in problems:
        print("setup.exe: " + problem)
    if not problems:
        print("setup.exe: %d bytes, i386 GUI 6.0, ASLR and DEP, system imports only, "
              "requireAdministrator, version %s" % (len(data), version))
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) == 2 and sys.argv[1] in ("-h", "--help"):
        print(__doc__.strip())
        sys.exit(0)
    if len(sys.argv) != 3 or sys.argv[1].startswith("-"):
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1], sys.argv[2]))
