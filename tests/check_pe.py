#!/usr/bin/python3
"""Checks the built setup.exe as Windows will see it before running it.

usage: check_pe.py SETUP_EXE
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
    ]
    return [message for ok, message in checks if not ok]


def import_problems(pe):
    names = {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    return ["imports %s" % name for name in sorted(names - SYSTEM_DLLS)]


def main(path):
    with open(path, "rb") as file:
        data = file.read()
    pe = pefile.PE(data=data)
    problems = header_problems(pe, len(data)) + import_problems(pe) + manifest_problems(pe)
    for problem in problems:
        print("setup.exe: " + problem)
    if not problems:
        print("setup.exe: %d bytes, i386 GUI 6.0, ASLR and DEP, system imports only, "
              "requireAdministrator" % len(data))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
