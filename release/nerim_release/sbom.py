"""The release's software bill of materials, CycloneDX 1.6 JSON: the medium
as the root component (Brenk, Nerim, the version), one component for each of
its files with the SHA-256 of the bytes shipped and what the file says of
itself (a package's Property table, a program's version resource, its
Authenticode signer), and the order setup.exe installs them in. Made from the
files and the build alone; unsigned, the same commit and vendor files give
the same bytes (the serial number is derived from the contents, the time is
the commit's)."""
import datetime
import hashlib
import json
import os
import uuid

import pefile

from . import authenticode, certificates, pe_checks
from .names import LM_PREFIX, SCRIPTING_ENGINE

PACKAGE_PROPERTIES = ("ProductName", "ProductVersion", "Manufacturer", "ProductCode", "UpgradeCode")
PROGRAM_STRINGS = ("FileVersion", "ProductVersion", "CompanyName", "ProductName")


class Unreadable(Exception):
    """A file on the medium cannot be described: damaged, or not what its name says."""


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def package_properties(path):
    text, problem = pe_checks.msiinfo("export", path, "Property")
    if text is None:
        raise Unreadable("%s: its Property table cannot be read (%s)" % (os.path.basename(path),
                                                                         problem))
    rows = [line.split("\t") for line in text.splitlines()[3:]]
    return {row[0]: row[1] for row in rows if len(row) >= 2 and row[0] in PACKAGE_PROPERTIES}


def program_strings(path):
    try:
        pe = pefile.PE(path)
    except pefile.PEFormatError as error:
        raise Unreadable("%s is not a Windows program (%s)" % (os.path.basename(path), error))
    tables = pe_checks.version_tables(pe)
    strings = tables[0][1] if tables else {}
    return {k: strings[k] for k in PROGRAM_STRINGS if k in strings}


def describe(path):
    """(version, {property: value}) of a file, as the SBOM and the check read it."""
    with open(path, "rb") as file:
        magic = file.read(8)
    if magic == pe_checks.PACKAGE_MAGIC:
        found = package_properties(path)
        return found.get("ProductVersion"), {"msi:" + k: v for k, v in found.items()}
    if magic[:2] == b"MZ":
        found = program_strings(path)
        return found.get("FileVersion"), {"pe:" + k: v for k, v in found.items()}
    return None, {}


def signer(path):
    """The subject of the certificate that signed the file, or None."""
    leaf = certificates.signer_among(authenticode.signature_certificates(path))
    return certificates.subject_text(leaf) if leaf else None


def component(folder, name, extra=()):
    path = os.path.join(folder, name)
    version, found = describe(path)
    properties = [{"name": k, "value": v} for k, v in sorted(found.items())]
    who = signer(path)
    if who:
        properties.append({"name": "authenticode:signer", "value": who})
    properties += [{"name": k, "value": v} for k, v in extra]
    made = {"type": "application", "bom-ref": name, "name": name}
    if version:
        made["version"] = version
    maker = found.get("msi:Manufacturer") or found.get("pe:CompanyName")
    if maker:
        made["supplier"] = {"name": maker}
    made["hashes"] = [{"alg": "SHA-256", "content": sha256(path)}]
    if properties:
        made["properties"] = properties
    return made


def dependencies(names):
    """setup.exe runs the main package, then the licence manager after the
    scripting engine, then the driver's installer."""
    lower = {n.lower(): n for n in names}
    engine = lower.get(SCRIPTING_ENGINE.lower())
    found = [{"ref": "medium", "dependsOn": sorted(names)}]
    if "setup.exe" in lower:
        found.append({"ref": lower["setup.exe"], "dependsOn": sorted(
            n for n in names if n.lower() != "setup.exe")})
    for name in sorted(names):
        if name.startswith(LM_PREFIX) and engine:
            found.append({"ref": name, "dependsOn": [engine]})
    return found


def make(folder, version, epoch, setup_record=()):
    """The SBOM of the medium in folder, as a dict; setup_record: (name,
    value) pairs that setup.exe's component carries (the commit, the build's
    packages)."""
    names = sorted(os.listdir(folder))
    bom = {
        "bomFormat": "CycloneDX", "specVersion": "1.6", "version": 1,
        "metadata": {
            "timestamp": datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc)
            .strftime("%Y-%m-%dT%H:%M:%SZ"),
            "component": {"type": "application", "bom-ref": "medium", "name": "Nerim",
                          "version": version, "supplier": {"name": "Brenk"},
                          "description": "the Nerim installation medium"},
        },
        "components": [component(folder, n, setup_record if n == "setup.exe" else ())
                       for n in names],
        "dependencies": dependencies(names),
    }
    serial = uuid.uuid5(uuid.NAMESPACE_URL, "nerim-sbom:" + hashlib.sha256(
        json.dumps(bom, sort_keys=True).encode()).hexdigest())
    return dict(bom, serialNumber="urn:uuid:%s" % serial)


def text(bom):
    return json.dumps(bom, indent=2, ensure_ascii=True) + "\n"


def differences(folder, names, bom):
    """What the medium's files say unlike the SBOM: [text]."""
    listed = {c.get("name"): c for c in bom.get("components", []) if isinstance(c, dict)}
    found = []
    for name in sorted(names):
        entry = listed.pop(name, None)
        if entry is None:
            found.append("%s is not in the SBOM" % name)
            continue
        path = os.path.join(folder, name)
        hashes = {h.get("alg"): h.get("content") for h in entry.get("hashes", [])}
        if hashes.get("SHA-256") != sha256(path):
            found.append("%s: its SHA-256 is not the one the SBOM says (%s)"
                         % (name, hashes.get("SHA-256")))
        try:
            version = describe(path)[0]
        except Unreadable as problem:
            found.append(str(problem))
            continue
        if version != entry.get("version"):
            found.append("%s: its version is %s, the SBOM says %s" % (name, version,
                                                                     entry.get("version")))
    found += ["the SBOM lists %s, which the medium lacks" % name for name in sorted(listed)]
    return found
