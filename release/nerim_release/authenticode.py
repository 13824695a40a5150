"""Authenticode signatures through osslsigncode: the one place that runs it
and reads what it says, in the words of 2.5 (Debian 12) and 2.9 (Debian 13,
bookworm-backports) alike.

osslsigncode says "Succeeded" when its writes failed (a full disk gives a
cut-off file and exit 0) and for a time stamp whose authority it could not
verify, so its callers verify every copy it writes with verify() and read
the record, never its words."""
import collections
import datetime
import functools
import os
import re
import subprocess
import tempfile

# What verify() found: verified is osslsigncode's verdict (exit 0); mismatch,
# that the signature no longer matches the file's bytes; signer, the first
# signer's subject as osslsigncode writes it ("/CN=.../O=..."); validity, its
# certificate's (not before, not after) in UTC; stamped_at, the time stamp's
# time as said, or None; stamp_verified, whether the time stamp's authority
# chains to the roots given; said, the words, for a person only.
Verification = collections.namedtuple(
    "Verification", "verified mismatch signer validity stamped_at stamp_verified said")

# What a failed signing run means, as (words it says, the reason; {key},
# {cert}, {pkcs12} and {password} name the caller's files), first match
# wins. The PIN's refusal comes first: the engine then also says the key
# was not found.
SIGN_FAILURES = (
    ("PIN incorrect", "the token refused the PIN in {password} (tried once: a token locks after "
                      "a few wrong tries)"),
    ("PIN locked|PIN_LOCKED", "the token's PIN is locked; unlock it with the token's own tools"),
    ("private key was not found|failed to load private key", "no key in the token matches {key}"),
    ("key values mismatch", "the key {key} does not belong to the certificate {cert}"),
    ("wrong password|mac verify failure|bad decrypt", "wrong password for {pkcs12}"),
    ("failed to read|failed to parse|failed to decode|no certificate",
     "cannot use the key or certificate {credentials}"),
)
OPENSSL_ERROR = re.compile(r"^[0-9A-F]*:error:")
VALIDITY = re.compile(r"not(Before|After)\s*:\s*(\w+\s+\d+\s+[\d:]+\s+\d+)")
# 2.9: "Timestamp time: ...", 2.5: "The signature is timestamped: ...".
STAMPED = re.compile(r"(?:Timestamp time|The signature is timestamped):\s*(.+)")
STAMP_VERIFIED = "Timestamp Server Signature verification: ok"


def run(arguments, password=None, timeout=None):
    """(exit code, what it said on stdout and stderr); a password goes through
    its standard input, never its command line. A run past timeout: None."""
    try:
        result = subprocess.run(["osslsigncode"] + arguments, capture_output=True,
                                input=(password or "").encode(), timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        return None, ""
    said = (result.stdout + result.stderr).decode(errors="replace")
    return result.returncode, said


@functools.lru_cache(maxsize=None)
def version():
    """osslsigncode's version as numbers, e.g. (2, 9); () when it says none."""
    _, said = run(["--version"])
    found = re.match(r"osslsigncode (\d+)\.(\d+)", said)
    return tuple(int(n) for n in found.groups()) if found else ()


@functools.lru_cache(maxsize=None)
def verify_options():
    """From 2.8 on, osslsigncode checks the signer's CRL while verifying (it
    fetches it, or wants it given) and fails without it; revocation is
    decided by the caller (certificates.revocation), the same on every
    version, so it is told to leave that out where it knows how."""
    _, said = run(["--help"])
    return ["-ignore-crl"] if "-ignore-crl" in said else []


def signature_certificates(path):
    """The certificates a file's signature carries (the signer's and the
    chain it brings), or [] when it carries none that can be read."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "signature.der")
        code, _ = run(["extract-signature", "-in", path, "-out", out])
        if code != 0:
            return []
        with open(out, "rb") as file:
            data = file.read()
    return pkcs7_certificates(data)


# osslsigncode 2.5 writes a program's signature as the PE file holds it, in
# a WIN_CERTIFICATE (length, revision 2.0, type PKCS#7); 2.9 writes the
# PKCS#7 alone.
WIN_CERTIFICATE = b"\x00\x02\x02\x00"


def pkcs7_certificates(data):
    """The certificates of a DER PKCS#7 signature, bare or in a WIN_CERTIFICATE."""
    from cryptography.hazmat.primitives.serialization import pkcs7
    if len(data) > 8 and data[4:8] == WIN_CERTIFICATE:
        data = data[8:int.from_bytes(data[:4], "little")]
    try:
        return pkcs7.load_der_pkcs7_certificates(data)
    except ValueError:
        return []


def is_signed(path):
    """Whether the file carries a signature: whether osslsigncode can take one out."""
    with tempfile.TemporaryDirectory() as scratch:
        code, _ = run(["extract-signature", "-in", path, "-out", os.path.join(scratch, "s")])
    return code == 0


def remove_signature(path, out):
    """Writes path without its signature to out; False when it cannot."""
    code, _ = run(["remove-signature", "-in", path, "-out", out])
    return code == 0


def sign_failure(said, names):
    """The reason a signing run failed, in words a person can act on."""
    for words, reason in SIGN_FAILURES:
        if re.search(words, said, re.IGNORECASE):
            return reason.format(**names)
    kept = [line for line in said.splitlines() if line.strip() and not OPENSSL_ERROR.match(line)]
    return "osslsigncode failed: %s" % " ".join(kept)


def sign(credentials, options, source, out, password, names):
    """Signs source into out (which must not exist); None, or the reason."""
    arguments = ["sign"] + credentials + options
    if password is not None:
        arguments += ["-readpass", "/dev/stdin"]
    code, said = run(arguments + ["-in", source, "-out", out], password=password)
    return None if code == 0 else sign_failure(said, names)


def authority_problem(code, said, seconds):
    """Why an authority gave no time stamp, in a few words."""
    if code is None:
        return "no answer within %d s" % seconds
    if re.search(r"refused|couldn't connect", said, re.IGNORECASE):
        return "connection refused"
    kept = [line for line in said.splitlines()
            if not OPENSSL_ERROR.match(line) and re.search("fail|error", line, re.IGNORECASE)]
    return kept[0] if kept else "exit code %d" % code


def add_timestamp(authority, source, out, seconds):
    """Adds an RFC 3161 time stamp from authority to the signed source, into
    out (which must not exist); None, or why the authority gave none."""
    code, said = run(["add", "-ts", authority, "-h", "sha256", "-in", source, "-out", out],
                     timeout=seconds)
    if code == 0 and os.path.exists(out) and os.path.getsize(out) > 0:
        return None
    return authority_problem(code, said, seconds)


def read_validity(said):
    """The first signer's certificate's (not before, not after), e.g. from
    "notAfter : Jan  9 01:24:15 2027 GMT"; the time stamp's authority's
    dates, said later, are not the signer's."""
    dates = {}
    for kind, text in VALIDITY.findall(said):
        dates.setdefault(kind, text)
    try:
        return tuple(datetime.datetime.strptime(" ".join(dates[k].split()), "%b %d %H:%M:%S %Y")
                     for k in ("Before", "After"))
    except (KeyError, ValueError):
        return None


def read_verification(code, said):
    """The record of what osslsigncode verify said, and how it ended."""
    subjects = [line.split(":", 1)[1].strip() for line in said.splitlines()
                if line.strip().startswith("Subject:")]
    stamped = STAMPED.search(said)
    return Verification(verified=code == 0, mismatch="MISMATCH" in said,
                        signer=subjects[0] if subjects else None, validity=read_validity(said),
                        stamped_at=stamped.group(1).strip() if stamped else None,
                        stamp_verified=STAMP_VERIFIED in said, said=said)


def verify(path, ca_file, timestamp_ca_file, at=None):
    """Verifies path's signature against the roots in ca_file and its time
    stamp against those in timestamp_ca_file, now or at the moment at (seconds
    since 1970)."""
    moment = [] if at is None else ["-time", str(int(at))]
    code, said = run(["verify", "-CAfile", ca_file, "-TSA-CAfile", timestamp_ca_file] + moment
                     + verify_options() + ["-in", path])
    return read_verification(code, said)
