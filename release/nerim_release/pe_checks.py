"""What a Windows program's headers and resources say, read with pefile;
one rule for the medium check, signing, the build's own check of setup.exe
and the scripts that need its version (release/setup-version).
"""
import argparse
import re
import subprocess
import xml.etree.ElementTree as ET

import pefile

from .tool import Failure

ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
SECURITY_DIRECTORY = 4  # its address is a file offset, not a memory one
PACKAGE_MAGIC = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"  # a compound file, as MSI packages are


def msiinfo(*arguments):
    """msiinfo's output and its complaint: libmsi says "string table corrupt?"
    or "iconv failed" on stderr and still exits 0 with rows missing, so any
    line there is a failure, e.g. "string table load failed! (...)"."""
    result = subprocess.run(["msiinfo"] + list(arguments), capture_output=True, text=True,
                            errors="replace", check=False, stdin=subprocess.DEVNULL)
    said = [re.sub(r"^\*\* \(msiinfo:\d+\): \w+ \*\*: [\d:.]+ ", "", line)
            for line in result.stderr.splitlines() if line.strip()]
    if result.returncode != 0:
        return None, "exit code %d" % result.returncode
    if said:
        return None, said[0]
    return result.stdout, None


def whole_file_problem(path, data=None):
    """whole_pe_problem for a program; for a package, whether msitools reads
    its list of tables without a complaint. data: the file's bytes, read
    from path when not given."""
    if data is None:
        with open(path, "rb") as file:
            data = file.read()
    if data.startswith(PACKAGE_MAGIC):
        _, problem = msiinfo("tables", path)
        return problem and "is damaged: msitools cannot read its tables (%s)" % problem
    if not data.startswith(b"MZ"):
        return "is neither a Windows program (PE) nor a Windows Installer package"
    return whole_pe_problem(data)


def whole_pe_problem(data):
    """None when `data` is a whole Windows program as far as its own headers
    can tell, else what is wrong, worded to follow the file's name. Cut-off
    files are the case that matters: an unsigned one loses the end of its
    last section, a signed one the end of its signature, and either one's
    checksum (when set; 0 means "not set") no longer matches, e.g.
    "is cut off: its signature ends at byte 31240, the file at 31000"."""
    if len(data) < 64 or data[:2] != b"MZ":
        return "is not a Windows program"
    offset = int.from_bytes(data[60:64], "little")
    if data[offset:offset + 4] != b"PE\0\0":
        return "is not a Windows program"
    try:
        pe = pefile.PE(data=data, fast_load=True)
        ends = [("section %s" % s.Name.rstrip(b"\0").decode("latin-1"),
                 s.PointerToRawData + s.SizeOfRawData) for s in pe.sections if s.SizeOfRawData]
        security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY]
    except Exception as error:  # damaged bytes raise more than PEFormatError
        return "is damaged: its headers cannot be read (%s)" % (error or type(error).__name__)
    if security.Size:
        ends.append(("its signature", security.VirtualAddress + security.Size))
    for what, end in ends:
        if end > len(data):
            return "is cut off: %s ends at byte %d, the file at %d" % (what, end, len(data))
    checksum = pe.OPTIONAL_HEADER.CheckSum
    if checksum and checksum != pe.generate_checksum():
        return "is damaged: its checksum says %08X, its bytes sum to %08X" % (
            checksum, pe.generate_checksum())
    return None


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


def main(argv):
    """release/setup-version FILE: prints the product version of setup.exe FILE."""
    parser = argparse.ArgumentParser(prog="setup-version", description=(
        "Prints the product version of a whole setup.exe, such as 1.5.0.113805; exit 1 "
        "with one line saying why when it has none."))
    parser.add_argument("file", metavar="SETUP_EXE")
    args = parser.parse_args(argv)
    try:
        with open(args.file, "rb") as file:
            data = file.read()
    except OSError as error:
        raise Failure("%s: %s" % (args.file, error.strerror))
    problem = whole_pe_problem(data)
    if problem:
        raise Failure("%s %s" % (args.file, problem))
    version = product_version(pefile.PE(data=data))
    if version is None:
        raise Failure("%s has no version resource" % args.file)
    print(version)
    return 0
