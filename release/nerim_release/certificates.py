"""The signer's certificate, read with python3-cryptography from a PKCS#12
file, a PEM or DER file, or a token (through p11tool, without logging in, so
that the PIN is used once, by the signing itself); and what the record says
of it and of where the key is."""
import collections
import datetime
import os
import subprocess
import urllib.parse

from cryptography import x509
from cryptography.hazmat.primitives.serialization import Encoding, pkcs12

# certificates: the signer's first, then the rest of the chain, as
# cryptography objects.
Credentials = collections.namedtuple("Credentials", "certificates")


class Unreadable(Exception):
    """No certificate could be read where the caller said it was."""


def is_uri(text):
    return bool(text) and text.startswith("pkcs11:")


def uri_attribute(uri, name):
    """An attribute of a PKCS#11 URI's path (RFC 7512), decoded, or None."""
    path = uri[len("pkcs11:"):].split("?")[0]
    for part in path.split(";"):
        key, _, value = part.partition("=")
        if key == name:
            return urllib.parse.unquote(value)
    return None


def password_line(path):
    """A password file's first line without its line end (\\n or \\r\\n);
    what follows is not read."""
    if not path:
        return None
    with open(path, "rb") as file:
        line = file.readline()
    return line.rstrip(b"\r\n").decode("utf-8", "surrogateescape")


def from_pkcs12(path, password):
    """The certificate that goes with the key, then the file's others."""
    with open(path, "rb") as file:
        data = file.read()
    try:
        _, signer, others = pkcs12.load_key_and_certificates(
            data, password.encode("utf-8", "surrogateescape") if password is not None else None)
    except (ValueError, TypeError):
        raise Unreadable()
    if signer is None:
        raise Unreadable()
    return [signer] + list(others)


def from_file(path):
    with open(path, "rb") as file:
        data = file.read()
    try:
        if b"-BEGIN CERTIFICATE-" in data:
            return _split_pem(data)
        return [x509.load_der_x509_certificate(data)]
    except ValueError:
        raise Unreadable()


def _split_pem(data):
    """Every certificate of a PEM text, the first first (Debian 12's
    cryptography reads only one at a time)."""
    end = b"-----END CERTIFICATE-----"
    blocks = [block + end for block in data.split(end)[:-1]]
    return [x509.load_pem_x509_certificate(block[block.index(b"-----BEGIN"):]) for block in blocks]


def from_token(module, uri):
    result = subprocess.run(["p11tool", "--provider", module, "--export", uri],
                            capture_output=True, stdin=subprocess.DEVNULL, check=False)
    if result.returncode != 0 or b"-BEGIN CERTIFICATE-" not in result.stdout:
        raise Unreadable()
    return from_pem_bytes(result.stdout)


def from_pem_bytes(data):
    try:
        return _split_pem(data)
    except ValueError:
        raise Unreadable()


def module_loads(module):
    """Whether p11tool can load the PKCS#11 module and list its tokens."""
    return subprocess.run(["p11tool", "--provider", module, "--list-tokens"],
                          capture_output=True, stdin=subprocess.DEVNULL, check=False).returncode == 0


def subject_text(certificate):
    """The subject as openssl's oneline form writes it: "CN = X, O = Y"."""
    return ", ".join("%s = %s" % (attribute.rfc4514_attribute_name, attribute.value)
                     for rdn in certificate.subject.rdns for attribute in rdn)


def validity(certificate):
    """(not before, not after), naive UTC datetimes (cryptography 42 and later
    name them *_utc and warn on the old names)."""
    if hasattr(certificate, "not_valid_after_utc"):
        return tuple(moment.replace(tzinfo=None) for moment in
                     (certificate.not_valid_before_utc, certificate.not_valid_after_utc))
    return certificate.not_valid_before, certificate.not_valid_after


def gmt(moment):
    """A UTC moment as openssl writes it: "Jan  1 00:00:00 2021 GMT"."""
    return "%s %2d %s GMT" % (moment.strftime("%b"), moment.day, moment.strftime("%H:%M:%S %Y"))


def now():
    return datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)


def validity_problem(certificate, moment):
    """Why the certificate cannot sign at moment, or None."""
    start, end = validity(certificate)
    if moment < start:
        return "its certificate is not valid before %s" % gmt(start)
    if moment > end:
        return ("its certificate expired on %s; a time stamp does not make signing with it valid"
                % gmt(end))
    return None


def pem(certificates):
    return b"".join(c.public_bytes(Encoding.PEM) for c in certificates)


def key_place(key, pkcs12_file, module):
    """Where the key is, for the record; never the PIN (a URI with one is refused)."""
    if is_uri(key):
        label = uri_attribute(key, "token")
        return 'key: in the token "%s" through the PKCS#11 module %s' % (
            label or "named by %s" % key, os.path.basename(module))
    return "key: in the file %s" % os.path.basename(pkcs12_file or key)
