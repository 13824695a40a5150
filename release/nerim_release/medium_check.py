"""Checks an installation medium folder before it ships.

Says, in plain words, what setup.exe would silently act on: files that are
missing, misnamed or not what their names say; a setup.exe and a main package
of different versions, so that the markers go where setup.exe never looks;
licence-manager packages that would be installed again on every run or picked
by chance; Authenticode signatures that no longer match their files, or that
chain to no trusted root. Reads the packages with msitools, setup.exe with
pefile and the signatures with osslsigncode.

Exit codes: 0 ready to ship (perhaps with warnings), 1 errors, 2 the medium
cannot be checked (unreadable, msitools, pefile or osslsigncode missing) or
bad usage.

Errors about the folder itself: anything that is not a regular file (a
folder, a FIFO, a device, a link to one, a dangling or looping link: named,
never opened); a hidden file (such as a `.setup.exe.staged.*` leftover of a killed
signing run); a name Windows cannot hold (`<>:"\\|?*`, a control character, a
trailing dot or space, a device name such as `NUL`); a name outside ASCII
(`setup.exe` finds files through the administrator's ANSI code page, which may
not hold it, so such names are refused rather than stored in the zip with
its UTF-8 flag); two names that differ only in letter case (Windows keeps
one of them, and which one is not yours to choose).

Errors: `setup.exe` missing, not a whole Windows program (cut off, sections
or signature beyond the end of the file, a checksum its bytes do not match),
the 64-bit build, without
the administrator manifest or without the version resource; a main package
missing or no Windows Installer package, or one that installs its "optLS" or
"optDD" marker anywhere but where that `setup.exe` looks (the folder named
after the version in `setup.exe`'s version resource, under either Program
Files folder): the most likely release mistake, a main package and a
`setup.exe` of different versions; no licence-manager package, or several
(only the first the file system lists is used); a licence-manager file name
whose version, cut as `setup.exe` cuts it, is empty or ends in an upper-case
extension; a licence-manager package that is no Windows Installer package or
whose product name lacks "Sentinel", "License Manager" or that version; an
scripting engine's package that is no Windows Installer package; any package whose tables
libmsi cannot read cleanly ("string table corrupt?": damaged, so what it would
install is unknown), named with the table; a driver installer that is empty
or not a whole Windows program (the same rule as `setup.exe`'s, shared with
`sign` and the build's own check). Of many licence-manager packages the
first five are named and read. Warnings: the scripting engine's package or the driver
installer missing; another driver version beside the right one (never used);
a main package that installs no marker; any file named in another letter case
than `setup.exe` uses (it still finds it). Signatures (through osslsigncode):
a signed `setup.exe`, package or driver installer whose signature no longer
matches its contents (changed after signing, or damaged in transfer) is an
error; one whose certificate has expired or is not yet valid, without a time
stamp, a warning saying so; one whose certificate does not chain to a trusted
root (the system's CA bundle, or the one given with `--ca FILE`, and those of
`--roots FILE`) a warning naming the signer; a signer whose certificate its
CRL lists as revoked an error, one whose CRL cannot be reached a warning
("revocation not checked"); a time stamp whose authority chains to no trusted root (the
system's bundle and `--timestamp-ca FILE`) a warning: Windows ignores it;
unsigned files one warning for all. Each other signature gets a note: the
time it was stamped at, or, unstamped, the day it stops verifying. "Signed"
means what it means to `sign`: osslsigncode can take a signature out of
the file.
"""
import argparse
import fnmatch
import functools
import json
import os
import re
import shutil
import stat
import tempfile

from . import authenticode, certificates, signing
from .names import DRIVER, LM_PREFIX, MAIN_PACKAGE, MARKERS, PRODUCT_FOLDER, SCRIPTING_ENGINE

try:
    import pefile
    from . import sbom
    from .pe_checks import manifest_problems, msiinfo, product_version, whole_pe_problem
except ImportError:  # said as a reason the medium cannot be checked
    pefile = None

# The Windows Installer folders that stand for the two Program Files folders
# setup.exe probes: "<drive>:\Program Files (x86)\" and "<drive>:\Program Files\".
PROGRAM_FILES = ("ProgramFilesFolder", "ProgramFiles64Folder")
MACHINE_I386, MACHINE_AMD64, SUBSYSTEM_GUI = 0x14C, 0x8664, 2
SYSTEM_CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
# Beyond this many licence-manager packages the medium is wrong anyway; reading
# each of ten thousand would take minutes and say nothing more.
DETAILED_PACKAGES = 5
WINDOWS_RESERVED = re.compile(r"(CON|PRN|AUX|NUL|COM[1-9]|LPT[1-9])(\..*)?$", re.IGNORECASE)


class CannotCheck(Exception):
    """The medium cannot be read, or a tool the check needs is missing."""


class Unreadable(Exception):
    """A table of a package that msitools reads as a package cannot be read:
    the package is damaged, and what it would install is unknown."""


def licence_manager_version(name):
    """The version text exactly as setup.exe cuts it from a package name."""
    end = name.find(".msi")
    if end < len(LM_PREFIX):
        end = len(name)
    return name[len(LM_PREFIX):end]


def matching(names, pattern):
    """Windows' matching of a name pattern: letter case ignored."""
    return sorted(n for n in names if fnmatch.fnmatch(n.lower(), pattern.lower()))


def read_bytes(path, count=None):
    try:
        with open(path, "rb") as file:
            return file.read() if count is None else file.read(count)
    except OSError as error:
        raise CannotCheck("cannot read %s: %s" % (path, error.strerror))


@functools.lru_cache(maxsize=None)
def package_tables(path):
    """msiinfo's list of a package's tables, read once a check."""
    return msiinfo("tables", path)


def msi_table(path, table):
    """A package's table as a list of rows (lists of texts); [] when it has no
    such table, None when it is not a Windows Installer package at all."""
    names, problem = package_tables(path)
    if names is None and problem.startswith("exit code"):
        return None
    if names is None:
        raise Unreadable("%s: its tables cannot be read (%s): the package is damaged"
                         % (os.path.basename(path), problem))
    if table not in names.split():
        return []
    text, problem = msiinfo("export", path, table)
    if text is None:
        raise Unreadable("%s: its %s table cannot be read (%s): the package is damaged"
                         % (os.path.basename(path), table, problem))
    # Three lines of column names, types and keys, then a line per row.
    return [line.split("\t") for line in text.splitlines()[3:]]


def is_package(path):
    return msi_table(path, "Property") is not None


def setup_version(folder, name, report):
    """Checks setup.exe and returns the version it was built for, or None."""
    data = read_bytes(os.path.join(folder, name))
    problem = whole_pe_problem(data)
    if problem:
        report("error", "%s %s" % (name, problem))
        return None
    try:
        pe = pefile.PE(data=data)
    except Exception as error:  # damaged bytes raise more than PEFormatError
        report("error", "%s is not a Windows program that loads: %s" % (name, error))
        return None
    if pe.FILE_HEADER.Machine == MACHINE_AMD64:
        report("error", "%s is the 64-bit (x86-64) build: the medium needs the "
               "32-bit one (build/i686/setup.exe)" % name)
    elif pe.FILE_HEADER.Machine != MACHINE_I386:
        report("error", "%s is not a 32-bit x86 program" % name)
    if pe.OPTIONAL_HEADER.Subsystem != SUBSYSTEM_GUI:
        report("error", "%s is not a program without a console (GUI subsystem)" % name)
    problems = manifest_problems(pe)
    if problems:
        report("error", "%s does not ask for administrator rights as it should: %s"
               % (name, "; ".join(problems)))
    version = product_version(pe)
    if version is None:
        report("error", "%s has no version resource: it is not Nerim's setup.exe, or one "
               "too old to tell which marker folder it reads" % name)
    return version


def directory_path(directories, name):
    """Where a Directory row lies: (the system folder it stands under, the
    folder names below that), e.g. ("ProgramFilesFolder", ["Brenk", ...])."""
    parts = []
    for _ in range(len(directories) + 1):
        if name in PROGRAM_FILES or name not in directories:
            break
        parent, default_dir = directories[name]
        target = default_dir.split(":")[0].split("|")[-1]
        if target != ".":
            parts.insert(0, target)
        if not parent or parent == name:
            break
        name = parent
    return name, parts


def marker_places(path):
    """[(marker name, system folder, folder names)] for every optLS and optDD
    file the main package installs."""
    directories = {row[0]: (row[1], row[2]) for row in msi_table(path, "Directory") or []
                   if len(row) >= 3}
    components = {row[0]: row[2] for row in msi_table(path, "Component") or [] if len(row) >= 3}
    places = []
    for row in msi_table(path, "File") or []:
        file_name = row[2].split("|")[-1] if len(row) >= 3 else ""
        marker = [m for m in MARKERS if m.lower() == file_name.lower()]
        if marker and row[1] in components:
            places.append((marker[0],) + directory_path(directories, components[row[1]]))
    return places


def check_markers(path, version, report):
    """The main package's markers against the places setup.exe probes."""
    try:
        places = marker_places(path)
    except Unreadable as problem:
        report("error", str(problem))
        return
    if not places:
        report("warning", "%s installs no %s marker file: no prerequisite will "
               "ever be installed unless something else writes the markers"
               % (MAIN_PACKAGE, " or ".join(MARKERS)))
    probed = [p.lower() for p in PRODUCT_FOLDER]
    versions = {version.lower(), version.replace(" ", ".").lower()}
    for marker, root, parts in places:
        lowered = [p.lower() for p in parts]
        if root in PROGRAM_FILES and lowered[:-1] == probed and lowered[-1] in versions:
            continue
        report("error", "%s installs %s to [%s]\\%s, but setup.exe %s looks for it at "
               "<system drive>:\\Program Files (x86)\\%s\\%s\\%s (or under "
               "Program Files): that prerequisite would never be installed; put a setup.exe "
               "and a main package of the same version on the medium"
               % (MAIN_PACKAGE, marker, root, "\\".join(parts + [marker]), version,
                  "\\".join(PRODUCT_FOLDER), version, marker))


def check_licence_manager(folder, names, report):
    packages = matching(names, LM_PREFIX + "*.msi")
    if not packages:
        report("error", "no %s<version>.msi: the licence manager cannot be installed" % LM_PREFIX)
        return
    if len(packages) > 1:
        more = len(packages) - DETAILED_PACKAGES
        report("error", "%d licence-manager packages (%s%s): setup.exe uses only the first one "
               "the file system lists, and that order is not yours to choose"
               % (len(packages), ", ".join(packages[:DETAILED_PACKAGES]),
                  " and %d more" % more if more > 0 else ""))
    for name in packages[:DETAILED_PACKAGES]:
        try:
            check_licence_manager_package(folder, name, report)
        except Unreadable as problem:
            report("error", str(problem))


def check_licence_manager_package(folder, name, report):
    version = licence_manager_version(name)
    if version == "":
        report("error", "%s holds no version after %s: any installed Sentinel License "
               "Manager would count as this one" % (name, LM_PREFIX))
        return
    if ".msi" not in name:
        report("error", "%s: setup.exe looks for a lower-case \".msi\", so it reads the version "
               "as \"%s\", which no installed program shows: the package would be installed "
               "again on every run; name it with \".msi\"" % (name, version))
        return
    rows = msi_table(os.path.join(folder, name), "Property")
    if rows is None:
        report("error", "%s is not a Windows Installer package" % name)
        return
    product = dict((row[0], row[1]) for row in rows if len(row) >= 2).get("ProductName", "")
    missing = [w for w in ("Sentinel", "License Manager", version) if w not in product]
    if missing:
        report("error", "%s: its product name \"%s\" lacks %s, so setup.exe never recognises "
               "it as installed and installs it again on every run"
               % (name, product, ", ".join('"%s"' % w for w in missing)))


def check_driver(folder, names, report):
    found = matching(names, DRIVER)
    others = [n for n in matching(names, "SentinelSystemDriverInstaller*.exe") if n not in found]
    if others:
        report("warning", "%s: setup.exe runs only %s, so %s never used"
               % (", ".join(others), DRIVER, "this is" if len(others) == 1 else "these are"))
    if not found:
        report("warning", "%s is missing: the hardware-key driver cannot be installed" % DRIVER)
        return
    data = read_bytes(os.path.join(folder, found[0]))
    problem = "is empty" if not data else whole_pe_problem(data)
    if problem:
        report("error", "%s %s" % (found[0], problem))


def check_letter_case(names, report):
    """One rule for every file setup.exe looks for by name."""
    for expected in ("setup.exe", MAIN_PACKAGE, SCRIPTING_ENGINE, DRIVER):
        for name in matching(names, expected):
            if name != expected:
                report("warning", "%s is named %s: setup.exe still finds it (Windows matches "
                       "file names whatever their letter case), but name it exactly" %
                       (expected, name))
    for name in matching(names, LM_PREFIX + "*"):
        if not name.startswith(LM_PREFIX):
            report("warning", "%s: setup.exe still finds it (Windows matches file names "
                   "whatever their letter case), but name it %s..." % (name, LM_PREFIX))


def signature_state(path, ca_file, timestamp_ca_file):
    """("unsigned" | "mismatch" | "expired" | "untrusted" | "ok", the signer's
    subject, its certificate's validity, (the time stamp's time or None,
    whether its authority chains to a trusted root))."""
    if not authenticode.is_signed(path):
        return "unsigned", None, None, (None, False)
    found = authenticode.verify(path, ca_file, timestamp_ca_file)
    signer, validity = found.signer or "an unknown signer", found.validity
    stamp = found.stamped_at, found.stamp_verified
    if found.mismatch:
        state = "mismatch"
    elif found.verified:
        state = "ok"
    elif validity and not validity[0] <= certificates.now() <= validity[1]:
        state = "expired"
    else:
        state = "untrusted"
    return state, signer, validity, stamp


def report_lifetime(name, signer, validity, stamp, report):
    """How long a good signature verifies: for ever with a trusted time stamp,
    else until its certificate expires."""
    stamped_at, stamp_trusted = stamp
    until = "%s UTC" % validity[1] if validity else "the day its certificate expires"
    if stamped_at and stamp_trusted:
        report("note", "%s: signed by %s, time-stamped at %s: the signature outlives the "
               "certificate" % (name, signer, stamped_at))
    elif stamped_at:
        report("warning", "%s: its time stamp (%s) does not chain to a trusted root; Windows "
               "ignores it, and the signature stops verifying on %s" % (name, stamped_at, until))
    else:
        report("note", "%s: signed by %s without a time stamp: it stops verifying on %s, when "
               "the certificate expires" % (name, signer, until))


def signed_files(folder, names):
    """The files a signature matters on, leaving out programs damaged already
    (reported as such) and licence-manager packages past the detailed few."""
    wanted = [n for n in names if any(fnmatch.fnmatch(n.lower(), p.lower())
                                      for p in ("setup.exe", MAIN_PACKAGE, SCRIPTING_ENGINE, DRIVER))]
    wanted += matching(names, LM_PREFIX + "*.msi")[:DETAILED_PACKAGES]
    return sorted(n for n in wanted if not n.lower().endswith(".exe")
                  or whole_pe_problem(read_bytes(os.path.join(folder, n))) is None)


def revocation_report(path, anchors_file, cache):
    """(kind, text) of what is known of the revocation of path's signer, or
    None where its certificate names no CRL; each CRL is fetched once."""
    found = authenticode.signature_certificates(path)
    leaf = certificates.signer_among(found)
    if leaf is None or not certificates.crl_urls(leaf):
        return None
    pool = found + certificates.from_pem_bytes(read_bytes(anchors_file), skip_bad=True)
    issuer = next((c for c in pool if certificates.issued_by(leaf, c)), None)
    url = certificates.crl_urls(leaf)[0]
    if url not in cache:
        try:
            cache[url] = certificates.revocation(leaf, issuer)
        except certificates.Unreadable as problem:
            cache[url] = certificates.Revocation("damaged", str(problem))
    state, text = cache[url]
    if state == "good":
        return None
    if state == "revoked":
        return "error", "its signer's certificate was %s" % text
    return ("error" if state == "damaged" else "warning"), text


def check_signatures(folder, names, ca_file, timestamp_ca_file, report):
    """setup.exe, the packages and the driver's installer: signed files must
    still match their signatures, chain to a trusted root and not be revoked;
    each good signature says how long it verifies."""
    unsigned, crls = [], {}
    for name in signed_files(folder, names):
        path = os.path.join(folder, name)
        state, signer, validity, stamp = signature_state(path, ca_file, timestamp_ca_file)
        if state == "unsigned":
            unsigned.append(name)
        elif state == "mismatch":
            report("error", "%s: its signature no longer matches its contents (changed after "
                   "signing, or damaged in transfer)" % name)
        elif state == "expired":
            report("warning", "%s is signed by %s, whose certificate has expired or is not yet "
                   "valid (valid %s to %s UTC) and the signature has no time stamp that a trusted "
                   "root vouches for: Windows "
                   "shows it as invalid" % (name, signer, validity[0], validity[1]))
        elif state == "untrusted":
            report("warning", "%s is signed by %s, whose certificate does not chain to a "
                   "trusted root (give the authority's root with --roots)" % (name, signer))
        if state in ("ok", "untrusted"):
            report_lifetime(name, signer, validity, stamp, report)
            revoked = revocation_report(path, ca_file, crls)
            if revoked:
                report(revoked[0], "%s: %s" % (name, revoked[1]))
    if unsigned:
        report("warning", "not signed: %s" % ", ".join(unsigned))


def name_problem(folder, name):
    """What keeps a file from standing on a medium as it is, or None."""
    if name.startswith("."):
        return "is a stray hidden file, no part of a medium (left by an interrupted run?)"
    if (set(name) & set('<>:"\\|?*') or min(map(ord, name)) < 32 or name[-1] in ". "
            or WINDOWS_RESERVED.match(name)):
        return "is a name Windows cannot hold"
    if not name.isascii():
        return ("is a name outside ASCII: setup.exe reads names through the administrator's "
                "ANSI code page, which may not hold it; name it in ASCII")
    try:
        mode = os.stat(os.path.join(folder, name)).st_mode
    except OSError as error:
        return "is a link to nothing that can be read (%s)" % error.strerror
    if not stat.S_ISREG(mode):
        kind = ("a folder" if stat.S_ISDIR(mode) else "a FIFO" if stat.S_ISFIFO(mode)
                else "a socket" if stat.S_ISSOCK(mode) else "a device")
        return "is not a regular file but %s" % kind
    return None


def check_names(folder, names, report):
    """Reports the names a medium cannot hold, and returns the others."""
    kept = []
    for name in sorted(names):
        problem = name_problem(folder, name)
        if problem:
            report("error", "%s %s" % (os.fsencode(name).decode("ascii", "backslashreplace"), problem))
        else:
            kept.append(name)
    by_case = {}
    for name in kept:
        by_case.setdefault(name.lower(), []).append(name)
    for group in by_case.values():
        if len(group) > 1:
            report("error", "%s differ only in letter case: Windows keeps only one of them, "
                   "and which one is not yours to choose" % " and ".join(group))
    return kept


def package_path(folder, names, expected, report, if_missing):
    """The path of the package named `expected` (in any letter case), or None
    when it is missing (reported as if_missing says) or no Windows Installer
    package."""
    found = matching(names, expected)
    if not found:
        report(*if_missing)
        return None
    try:
        package = is_package(os.path.join(folder, found[0]))
    except Unreadable as problem:
        report("error", str(problem))
        return None
    if not package:
        report("error", "%s is not a Windows Installer package" % found[0])
        return None
    return os.path.join(folder, found[0])


def check_medium(folder, report, ca_file=SYSTEM_CA_BUNDLE, timestamp_ca_file=SYSTEM_CA_BUNDLE,
                 sbom_file=None):
    try:
        names = os.listdir(folder)
    except OSError as error:
        raise CannotCheck("cannot read the folder %s: %s" % (folder, error.strerror))
    names = check_names(folder, names, report)
    check_letter_case(names, report)
    setup = matching(names, "setup.exe")
    versions = [setup_version(folder, name, report) for name in setup]
    version = next((v for v in versions if v), None)
    if not setup:
        report("error", "setup.exe is missing")
    main = package_path(folder, names, MAIN_PACKAGE, report, (
        "error", "%s is missing: setup.exe would hand msiexec a package that is not there"
        % MAIN_PACKAGE))
    if main and version:
        check_markers(main, version, report)
    check_licence_manager(folder, names, report)
    package_path(folder, names, SCRIPTING_ENGINE, report, (
        "warning", "%s is missing: the licence manager is installed without the scripting "
        "engine" % SCRIPTING_ENGINE))
    check_driver(folder, names, report)
    check_signatures(folder, names, ca_file, timestamp_ca_file, report)
    if sbom_file:
        check_sbom(folder, names, sbom_file, report)


def check_sbom(folder, names, sbom_file, report):
    """The medium against its SBOM, as a customer checks it on receipt."""
    try:
        with open(sbom_file, encoding="utf-8") as file:
            bom = json.load(file)
    except (OSError, ValueError) as error:
        report("error", "the SBOM %s cannot be read: %s" % (sbom_file, error))
        return
    if not isinstance(bom, dict) or bom.get("bomFormat") != "CycloneDX":
        report("error", "%s is not a CycloneDX SBOM" % sbom_file)
        return
    for difference in sbom.differences(folder, names, bom):
        report("error", "%s (against %s)" % (difference, os.path.basename(sbom_file)))


def run_check(folder, ca_file, timestamp_ca_file, say, roots_file=None, sbom_file=None):
    """Checks folder, saying each line through say(text); returns the exit
    code. Signatures chain to ca_file's roots and roots_file's."""
    found = {"error": 0, "warning": 0, "note": 0}

    def report(kind, message):
        say("%s: %s" % (kind, message))
        found[kind] += 1

    try:
        if not os.path.isdir(folder):
            raise CannotCheck("%s is not a folder" % folder)
        if shutil.which("msiinfo") is None:
            raise CannotCheck("msiinfo is not installed (Debian package msitools)")
        if pefile is None:
            raise CannotCheck("pefile is not installed (Debian package python3-pefile)")
        if shutil.which("osslsigncode") is None:
            raise CannotCheck("osslsigncode is not installed (Debian package osslsigncode)")
        with tempfile.NamedTemporaryFile(prefix="roots-") as roots, \
                tempfile.NamedTemporaryFile() as timestamp_roots:
            roots.write(read_bytes(ca_file) + b"\n" + (read_bytes(roots_file) if roots_file else b""))
            for given in (SYSTEM_CA_BUNDLE, timestamp_ca_file):
                if given:
                    timestamp_roots.write(read_bytes(given) + b"\n")
            roots.flush()
            timestamp_roots.flush()
            check_medium(folder, report, roots.name if roots_file else ca_file,
                         timestamp_roots.name, sbom_file)
    except CannotCheck as problem:
        say("cannot check: %s" % problem)
        return 2
    if found["error"]:
        return 1
    warnings = found["warning"]
    say("ok: %s is ready to ship%s" % (
        folder, ", with %d warning%s" % (warnings, "s" * (warnings != 1)) if warnings else ""))
    return 0


def main(argv):
    parser = argparse.ArgumentParser(
        prog="check-medium", description=__doc__.strip().split("\n\n")[1],
        epilog="\n\n".join(__doc__.strip().split("\n\n")[2:]),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--ca", metavar="FILE", default=SYSTEM_CA_BUNDLE,
                        help="the certificates signatures must chain to (default: the "
                        "system's, %s)" % SYSTEM_CA_BUNDLE)
    parser.add_argument("--timestamp-ca", metavar="FILE",
                        help="roots of time-stamping authorities that the system's bundle "
                        "lacks (PEM)")
    signing.add_roots_option(parser)
    parser.add_argument("--sbom", metavar="FILE",
                        help="the release's CycloneDX SBOM (Nerim-<version>.cdx.json): every file "
                        "must be in it, with the same name, SHA-256 and version, and nothing else")
    parser.add_argument("folder", metavar="MEDIUM_FOLDER")
    args = parser.parse_args(argv)
    return run_check(args.folder, args.ca, args.timestamp_ca, print, args.roots, args.sbom)
