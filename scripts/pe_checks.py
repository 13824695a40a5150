"""What setup.exe's resources say, read with pefile; shared by the medium
check, the build's own check of setup.exe and the scripts that need its
version.

usage: python3 scripts/pe_checks.py SETUP_EXE   prints the product version
"""
import sys
import xml.etree.ElementTree as ET

import pefile

ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


def manifest_text(pe):
    """The manifest resource's bytes and None, or None and what is wrong."""
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
    """Empty when the manifest asks for administrator rights and nothing else."""
    text, problem = manifest_text(pe)
    if problem:
        return [problem]
    try:
        root = ET.fromstring(text)
    except ET.ParseError as error:
        return ["manifest is not XML: %s" % error]
    levels = root.findall(".//%srequestedExecutionLevel" % ASM_V3)
    if len(levels) != 1:
        return ["%d requestedExecutionLevel elements" % len(levels)]
    found = [(levels[0].get("level"), levels[0].get("uiAccess"))]
    problems = [] if found == [("requireAdministrator", "false")] else ["execution level %r" % found]
    if [child.tag for child in root] != [ASM_V3 + "trustInfo"]:
        problems.append("manifest holds more than trustInfo: %r" % [c.tag for c in root])
    return problems


def version_tables(pe):
    """The version resource's string tables: [(language and code page, {name: text})]."""
    tables = [table for info in getattr(pe, "FileInfo", [[]])[0]
              for table in getattr(info, "StringTable", [])]
    return [(t.LangID.decode(), {k.decode(): v.decode() for k, v in t.entries.items()})
            for t in tables]


def product_version(pe):
    """The U.S. English ProductVersion string, e.g. "1.5.0.113805", or None."""
    return dict(version_tables(pe)).get("040904E4", {}).get("ProductVersion") or None


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        sys.exit(2)
    try:
        version = product_version(pefile.PE(sys.argv[1]))
    except (OSError, pefile.PEFormatError) as error:
        sys.exit("%s: %s" % (sys.argv[1], error))
    if version is None:
        sys.exit("%s has no version resource" % sys.argv[1])
    print(version)
