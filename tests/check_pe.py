#!/usr/bin/python3
"""Checks the built setup.exe as Windows will see it before running it.

usage: check_pe.py SETUP_EXE VERSION
VERSION is the product's version as the build has it, e.g. 1.5.0.113805.
Prints one line per finding and exits 1 when any check fails.
"""
import sys
import xml.etree.ElementTree as ET

import pefile

SIZE_BUDGET = 256 * 1024
# Windows' own DLLs; anything else (libstdc++-6.dll, libwinpthread-1.dll...)
# would have to lie beside setup.exe on the medium, where others may plant one.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


def manifest_text(pe):
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return None, "no resources"
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != pefile.RESOURCE_TYPE["RT_MANIFEST"]:
            continue
        ids = [entry.id for entry in kind.directory.entries]
        if ids != [1]:
            return None, "manifest resources %r, expected only id 1" % ids
        languages = kind.directory.entries[0].directory.entries
        if len(languages) != 1:
            return None, "%d manifests under id 1" % len(languages)
        data = languages[0].data.struct
        return pe.get_data(data.OffsetToData, data.Size), None
    return None, "no manifest resource"


def manifest_problems(pe):
    text, problem = manifest_text(pe)
    if problem:
        return [problem]
    root = ET.fromstring(text)
    levels = root.findall(".//%srequestedExecutionLevel" % ASM_V3)
    if len(levels) != 1:
        return ["%d requestedExecutionLevel elements" % len(levels)]
    found = [(levels[0].get("level"), levels[0].get("uiAccess"))]
    problems = [] if found == [("requireAdministrator", "false")] else ["execution level %r" % found]
    if [child.tag for child in root] != [ASM_V3 + "trustInfo"]:
        problems.append("manifest holds more than trustInfo: %r" % [c.tag for c in root])
    return problems


def version_problems(pe, version):
    """The version resource against the build's version; the fourth binary
    number is the build number where it fits in 16 bits, else 65535."""
    numbers = [int(n) for n in version.split(".")]
    expected_strings = {
        "CompanyName": "Brenk", "FileDescription": "Nerim Setup", "FileVersion": version,
        "InternalName": "setup", "OriginalFilename": "setup.exe", "ProductName": "Nerim",
        "ProductVersion": version}
    tables = [table for info in getattr(pe, "FileInfo", [[]])[0]
              for table in getattr(info, "StringTable", [])]
    if len(tables) != 1 or tables[0].LangID != b"040904E4":
        return ["version strings %r, expected one table 040904E4" % [t.LangID for t in tables]]
    found = {k.decode(): v.decode() for k, v in tables[0].entries.items()}
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


def import_problems(pe):
    names = {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    return ["imports %s" % name for name in sorted(names - SYSTEM_DLLS)]


def main(path, version):
    with open(path, "rb") as file:
        data = file.read()
    pe = pefile.PE(data=data)
    problems = (header_problems(pe, len(data)) + import_problems(pe) + manifest_problems(pe) +
                version_problems(pe, version))
    for problem in problems:
        print("setup.exe: " + problem)
    if not problems:
        print("setup.exe: %d bytes, i386 GUI 6.0, ASLR and DEP, system imports only, "
              "requireAdministrator, version %s" % (len(data), version))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
