"""The signer's certificate, read with python3-cryptography from a PKCS#12
file, a PEM or DER file, or a token (through p11tool, without logging in, so
that the PIN is used once, by the signing itself); and what the record says
of it and of where the key is."""
import collections
import datetime
import os
import subprocess
import urllib.parse
import urllib.request

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.hazmat.primitives.serialization import Encoding, pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID

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


def _split_pem(data, skip_bad=False):
    """Every certificate of a PEM text, the first first (Debian 12's
    cryptography reads only one at a time); skip_bad passes over one it
    cannot read (a system bundle's), else that is a ValueError."""
    end = b"-----END CERTIFICATE-----"
    found = []
    for block in data.split(end)[:-1]:
        if b"-----BEGIN CERTIFICATE-----" not in block:
            continue
        try:
            found.append(x509.load_pem_x509_certificate(block[block.index(b"-----BEGIN"):] + end))
        except ValueError:
            if not skip_bad:
                raise
    return found


def p11tool(module, *arguments):
    """p11tool's standard output, or None; it never logs in here, so the PIN
    is used once, by the signing itself."""
    result = subprocess.run(["p11tool", "--provider", module] + list(arguments),
                            capture_output=True, stdin=subprocess.DEVNULL, check=False)
    return result.stdout if result.returncode == 0 else None


def from_token(module, uri):
    """The certificate at uri, then every other certificate its token holds
    (intermediates, as an authority's token comes with them)."""
    found = p11tool(module, "--export", uri)
    if not found or b"-BEGIN CERTIFICATE-" not in found:
        raise Unreadable()
    signer = from_pem_bytes(found)[:1]
    label = uri_attribute(uri, "token")
    token = "pkcs11:" + ("token=" + urllib.parse.quote(label, safe="") if label else "")
    others = []
    for url in (p11tool(module, "--list-all-certs", "--only-urls", token) or b"").split():
        exported = p11tool(module, "--export", url.decode())
        others += from_pem_bytes(exported, skip_bad=True) if exported else []
    return signer + [c for c in others if c not in signer]


def from_pem_bytes(data, skip_bad=False):
    try:
        return _split_pem(data, skip_bad)
    except ValueError:
        raise Unreadable()


def module_loads(module):
    """Whether p11tool can load the PKCS#11 module and list its tokens."""
    return p11tool(module, "--list-tokens") is not None


def subject_text(certificate):
    """The subject as openssl's oneline form writes it: "CN = X, O = Y"."""
    return name_text(certificate.subject)


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


def from_pem_file(path):
    """Every certificate of a PEM file (--chain, --roots); none is an error."""
    try:
        with open(path, "rb") as file:
            found = _split_pem(file.read())
    except (OSError, ValueError):
        found = []
    if not found:
        raise Unreadable()
    return found


def issued_by(certificate, issuer):
    """Whether issuer's key signed certificate (and the names say so)."""
    if certificate.issuer != issuer.subject:
        return False
    key = issuer.public_key()
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(certificate.signature, certificate.tbs_certificate_bytes, padding.PKCS1v15(),
                       certificate.signature_hash_algorithm)
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(certificate.signature, certificate.tbs_certificate_bytes,
                       ec.ECDSA(certificate.signature_hash_algorithm))
        else:
            return False
    except InvalidSignature:
        return False
    return True


def signer_among(found):
    """The signer's certificate of those a signature carries: the one that
    issued none of the others; None where there is none."""
    return next((c for c in found if not any(issued_by(o, c) for o in found if o != c)), None)


def name_text(name):
    return ", ".join("%s = %s" % (a.rfc4514_attribute_name, a.value) for rdn in name.rdns for a in rdn)


def chain_to_root(leaf, pool, anchors):
    """(the chain from leaf to the trust anchor, both included), or raises
    Unreadable with the reason: the issuer that neither pool nor anchors hold.
    The leaf itself is an anchor only where the caller gave it as a root."""
    chain = [leaf]
    for _ in range(len(pool) + 2):
        current = chain[-1]
        anchor = next((a for a in anchors if issued_by(current, a) or a == current), None)
        if anchor is not None:
            return chain + ([anchor] if anchor != current else [])
        issuer = next((c for c in pool if c not in chain and issued_by(current, c)), None)
        if issuer is None and current.issuer == current.subject:
            raise Unreadable("its chain ends at the self-signed \"%s\", which is not among the "
                             "trusted roots (the system's and --roots)" % name_text(current.subject))
        if issuer is None:
            raise Unreadable("its chain stops at \"%s\": no certificate of its issuer \"%s\" is in "
                             "--chain, the token or the trusted roots (the system's and --roots)"
                             % (name_text(current.subject), name_text(current.issuer)))
        chain.append(issuer)
    raise Unreadable("its chain loops")


def extension(certificate, kind):
    try:
        return certificate.extensions.get_extension_for_class(kind).value
    except x509.ExtensionNotFound:
        return None


# The keys the code-signing requirements allow: RSA of at least this many
# bits, ECDSA on these curves.
RSA_BITS = 3072
CURVES = ("secp256r1", "secp384r1")
# A longer validity than this is more than authorities issue today.
LONGEST_DAYS = 460


def profile_problems(certificate):
    """(what keeps the certificate from signing code, what is odd about it)."""
    problems, warnings = [], []
    usage = extension(certificate, x509.ExtendedKeyUsage)
    if usage is None or ExtendedKeyUsageOID.CODE_SIGNING not in usage:
        problems.append("it is not for code signing (its extended key usage lacks codeSigning)")
    constraints = extension(certificate, x509.BasicConstraints)
    if constraints is not None and constraints.ca:
        problems.append("it is a CA certificate, not a signer's")
    key = certificate.public_key()
    if isinstance(key, rsa.RSAPublicKey):
        if key.key_size < RSA_BITS:
            problems.append("its key is RSA of %d bits; code signing needs at least %d"
                            % (key.key_size, RSA_BITS))
    elif isinstance(key, ec.EllipticCurvePublicKey):
        if key.curve.name not in CURVES:
            problems.append("its key is ECDSA on %s; code signing allows P-256 and P-384"
                            % key.curve.name)
    else:
        problems.append("its key is neither RSA nor ECDSA")
    start, end = validity(certificate)
    if (end - start).days > LONGEST_DAYS:
        warnings.append("the certificate is valid for %d days, more than the %d authorities issue "
                        "for today" % ((end - start).days, LONGEST_DAYS))
    return problems, warnings


def fingerprint(certificate):
    return certificate.fingerprint(hashes.SHA256()).hex().upper()


def crl_urls(certificate):
    """The http addresses of the certificate's CRL distribution points."""
    points = extension(certificate, x509.CRLDistributionPoints) or []
    return [name.value for point in points for name in (point.full_name or [])
            if isinstance(name, x509.UniformResourceIdentifier)
            and name.value.lower().startswith("http")]


def load_crl(data):
    try:
        if b"-BEGIN X509 CRL-" in data:
            return x509.load_pem_x509_crl(data)
        return x509.load_der_x509_crl(data)
    except ValueError:
        raise Unreadable()


def fetch(url, seconds):
    """The bytes at url, or None when it cannot be reached within seconds."""
    try:
        with urllib.request.urlopen(url, timeout=seconds) as answer:
            return answer.read(CRL_BYTES)
    except (OSError, ValueError):
        return None


CRL_BYTES = 32 << 20  # more than any CA's CRL


# What is known of a certificate's revocation: state "good", "revoked" or
# "unchecked"; text, the record's words.
Revocation = collections.namedtuple("Revocation", "state text")


def revocation(certificate, issuer, crl_file=None, seconds=10, moment=None):
    """Whether certificate is revoked, from crl_file or else the CRL at its
    distribution point; a CRL that cannot be reached is "unchecked", one
    that its issuer did not sign an Unreadable."""
    urls = crl_urls(certificate)
    if crl_file:
        with open(crl_file, "rb") as file:
            data, where = file.read(), crl_file
    elif not urls:
        return Revocation("unchecked", "revocation not checked: the certificate names no CRL")
    else:
        data, where = fetch(urls[0], seconds), urls[0]
        if data is None:
            return Revocation("unchecked", "revocation not checked: %s could not be reached" % where)
    try:
        crl = load_crl(data)
    except Unreadable:
        raise Unreadable("the CRL from %s is damaged, or not a CRL" % where)
    if issuer is None or crl.issuer != issuer.subject or not crl.is_signature_valid(issuer.public_key()):
        raise Unreadable("the CRL from %s is not signed by the certificate's issuer" % where)
    revoked = crl.get_revoked_certificate_by_serial_number(certificate.serial_number)
    if revoked is not None:
        when = getattr(revoked, "revocation_date_utc", None)
        when = when.replace(tzinfo=None) if when else revoked.revocation_date
        return Revocation("revoked", "revoked on %s" % gmt(when))
    return Revocation("good", "not revoked (CRL from %s)" % where)
