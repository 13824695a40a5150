"""Signs Windows programs and Windows Installer packages in place with
Authenticode (SHA-256), through osslsigncode, with a key in a file or in a
token or HSM reached through its PKCS#11 module.

Nothing osslsigncode writes is trusted: each signed copy is written beside
its file, verified (the signature against the trusted roots, never the
signer's own certificate; the time stamp against the authorities' roots and at a moment after the
certificate has expired, a program as a whole PE), flushed to disk, and only
when every file has passed renamed over the files. On any failure every file
is untouched.

The key signs each file once. Time stamps are added afterwards, authority
after authority, without the key: an authority that is down never makes a
token see its PIN again, and a PIN the token refuses is never retried (a
token locks after a few wrong tries)."""
import argparse
import collections
import datetime
import os
import shutil
import stat
import tempfile

from . import authenticode, certificates, pe_checks, staging, tool

TOOL = "sign"
# Each authority has this long to answer; one that hangs is passed over.
AUTHORITY_SECONDS = 60
SYSTEM_ROOTS = "/etc/ssl/certs/ca-certificates.crt"
# A day after the certificate expires: the moment a lasting signature must
# still verify at.
AFTER_EXPIRY_SECONDS = 86400

# What was signed, for the caller's record: signer ("SUBJECT, valid FROM to
# TO"), key_place ("key: in ..."), expires (the certificate's end, as openssl
# writes it), files [SignedFile], chain (the subjects from the signer's to
# the root's), roots (the --roots given, as "SUBJECT, SHA-256 FINGERPRINT"),
# revocation (what is known of it, in the record's words).
Signing = collections.namedtuple("Signing", "signer key_place expires files chain roots revocation")
# authority and stamped_at are None without a time stamp.
SignedFile = collections.namedtuple("SignedFile", "path authority stamped_at")

EPILOG = """The certificate must be valid now. Every FILE is checked before any is
signed, and none is replaced unless all were signed and verified. The password
or PIN never appears on a command line or in what this prints, and a PIN the
token refuses is not tried again. Prints "signer: SUBJECT, valid FROM to TO",
where the key is, and "signed FILE" for each file (with the authority and time
of its time stamp); without --timestamp the last line says when the
signatures stop verifying.

Exit codes: 0 every file signed; 1 a file could not be (one "sign:" line says
which and why; no file was changed); 2 bad usage."""


def add_key_options(parser):
    """The options that say which key signs and how it is stamped: sign's and
    release's."""
    group = parser.add_argument_group("the key and the time stamp")
    group.add_argument("--pkcs12", metavar="FILE", help="the certificate and key in one PKCS#12 file")
    group.add_argument("--cert", metavar="FILE|URI",
                       help="the certificate (with its chain): a PEM or DER file, or a PKCS#11 URI "
                       "(pkcs11:token=...;object=...) of an object in a token or HSM; a "
                       "certificate file may go with a key in a token")
    group.add_argument("--key", metavar="FILE|URI", help="the key: a PEM or DER file, or a PKCS#11 URI")
    group.add_argument("--pkcs11-module", metavar="LIB",
                       help="the token's or HSM's PKCS#11 library, for URIs")
    group.add_argument("--password-file", metavar="FILE",
                       help="the key's password or the token's PIN: the file's first line, without "
                       "its line end; what follows it is not read")
    group.add_argument("--timestamp", metavar="URL", action="append", default=[],
                       help="an RFC 3161 time-stamping authority; give several and each is tried in "
                       "turn until one answers. The signature then verifies after the "
                       "certificate expires")
    group.add_argument("--timestamp-ca", metavar="FILE",
                       help="roots of time-stamping authorities that the system's bundle lacks (PEM)")
    group.add_argument("--chain", metavar="FILE",
                       help="the intermediate certificates between the signer's and its root (PEM); "
                       "the signature carries them, so that Windows builds the chain offline")
    add_roots_option(group)
    group.add_argument("--crl", metavar="FILE",
                       help="the issuer's CRL, by hand, instead of the one at the certificate's "
                       "distribution point")


def add_roots_option(parser):
    """--roots, for sign, release and the medium check alike."""
    parser.add_argument("--roots", metavar="FILE",
                        help="root certificates to trust beside the system's (PEM), such as the "
                        "code-signing root the authority issues under; the signer's own "
                        "certificate is never trusted by itself")


def key_options_problem(args):
    """What is wrong with the key options as given, for bad usage, or None."""
    uri = certificates.is_uri
    if args.pkcs12:
        if args.cert or args.key or args.pkcs11_module:
            return "give --pkcs12, or --cert with --key, not both"
    elif not (args.cert and args.key):
        return "give --pkcs12 FILE, or --cert with --key"
    if uri(args.key) or uri(args.cert):
        if not args.pkcs11_module:
            return "a PKCS#11 URI needs --pkcs11-module LIB"
        if not uri(args.key):
            return "a certificate in a token goes with a key in a token"
        if not args.password_file:
            return "a key in a token needs --password-file (its PIN)"
        if "pin-value" in args.key + ";" + args.cert:
            return "a PIN written in a URI stands on command lines; put it in --password-file"
    elif args.pkcs11_module:
        return "--pkcs11-module goes with a PKCS#11 URI as --key"
    return None


def readable(path):
    return os.path.isfile(path) and os.access(path, os.R_OK)


def check_inputs(args, files, replace):
    """Every input readable, every file whole and not signed already (unless
    replace); before anything is signed."""
    if args.pkcs11_module and not readable(args.pkcs11_module):
        raise tool.Failure("cannot load the PKCS#11 module %s: it is not a readable file"
                           % args.pkcs11_module)
    for path in (args.pkcs12, args.cert, args.key, args.password_file, args.timestamp_ca,
                 args.chain, args.roots, args.crl):
        if path and not certificates.is_uri(path) and not readable(path):
            raise tool.Failure("cannot read %s" % path)
    for program in ["osslsigncode"] + (["p11tool"] if args.pkcs11_module else []):
        if shutil.which(program) is None:
            raise tool.Failure("%s is not installed (see release/README.md)" % program)
    for path in files:
        if not (readable(path) and os.access(path, os.W_OK)):
            raise tool.Failure("cannot read and write %s (or it is not a file)" % path)
        problem = pe_checks.whole_file_problem(path)
        if problem:
            raise tool.Failure("%s %s; it is not signed" % (path, problem))
        if not replace and authenticode.is_signed(path):
            raise tool.Failure("%s is signed already; --replace signs it anew" % path)


def read_certificates(args, password):
    """The credentials' certificates, the signer's first."""
    try:
        if args.pkcs12:
            return certificates.from_pkcs12(args.pkcs12, password)
        if certificates.is_uri(args.cert):
            return certificates.from_token(args.pkcs11_module, args.cert)
        return certificates.from_file(args.cert)
    except certificates.Unreadable:
        if args.pkcs12:
            raise tool.Failure("wrong password for %s, or it is not a PKCS#12 file" % args.pkcs12)
        if certificates.is_uri(args.cert):
            raise tool.Failure("no certificate in the token matches %s" % args.cert)
        raise tool.Failure("cannot read a certificate in %s" % args.cert)


def credential_arguments(args, certs_file, extra_file):
    """The certificate always from certs_file (the signer's and the
    intermediates, read already), so that a token is logged in to once, for
    the key; a PKCS#12 file's own, with the intermediates it lacks in
    extra_file."""
    if args.pkcs12:
        return ["-pkcs12", args.pkcs12] + (["-ac", extra_file] if extra_file else [])
    if certificates.is_uri(args.key):
        return ["-pkcs11module", args.pkcs11_module, "-key", args.key, "-certs", certs_file]
    return ["-certs", certs_file, "-key", args.key]


def free_space_hint(path):
    """"; the file system holding it has N KiB free" when that is too little
    for two more copies of it, the likely cause of a failed write."""
    try:
        found = os.statvfs(os.path.dirname(path) or ".")
        free = found.f_bavail * found.f_frsize // 1024
        needed = os.path.getsize(path) // 512 + 16
    except OSError:
        return ""
    return "" if free >= needed else "; the file system holding it has %d KiB free" % free


def stamp(signed, scratch, authorities, trust):
    """Adds a time stamp to the signed copy from the first authority that
    answers; returns that authority. The key is not used."""
    tried = []
    for authority in authorities:
        if os.path.lexists(scratch):
            os.unlink(scratch)
        problem = authenticode.add_timestamp(authority, signed, scratch, AUTHORITY_SECONDS)
        if problem is None:
            os.replace(scratch, signed)
            return authority
        tried.append("%s: %s" % (authority, problem))
    raise tool.Failure("no time-stamping authority answered (%s)" % "; ".join(tried))


def signed_copy_problem(path, signed, verification, trust, args, expires_at):
    """Why the signed copy cannot replace path, or None; a stamped one must
    verify with its time stamp, now and after the certificate has expired."""
    problem = pe_checks.whole_file_problem(signed)
    if not problem and not verification.verified:
        problem = "its signature does not verify against the trusted roots (the system's%s)" % (
            " and %s" % args.roots if args.roots else "")
    if not problem and args.timestamp:
        if not verification.stamp_verified:
            return ("its time stamp does not verify against the authorities' roots (the system's%s); "
                    "give the authority's root with --timestamp-ca"
                    % (" and %s" % args.timestamp_ca if args.timestamp_ca else ""))
        if not authenticode.verify(signed, *trust, at=expires_at).verified:
            return "its time-stamped signature would stop verifying when the certificate expires"
    if problem:
        return "the signed copy osslsigncode wrote is not whole (%s)%s" % (problem,
                                                                           free_space_hint(path))
    return None


def sign_copy(path, args, credentials, options, password, trust, expires_at, names, temporary):
    """Signs path into a copy beside it, stamps and verifies it and flushes
    it; returns (the copy, its SignedFile)."""
    try:
        unsigned = staging.staged(path)
        temporary.append(unsigned)
        signed = staging.staged(path)
        temporary.append(signed)
    except OSError:
        raise tool.Failure("%s: cannot write beside it in %s" % (path, os.path.dirname(path) or "."))
    # osslsigncode writes only files that do not exist yet.
    os.unlink(unsigned)
    os.unlink(signed)
    if authenticode.is_signed(path):
        if not authenticode.remove_signature(path, unsigned):
            raise tool.Failure("cannot remove the signature of %s" % path)
    else:
        try:
            shutil.copy2(path, unsigned)
        except OSError:
            raise tool.Failure("cannot copy %s beside it; %s is untouched" % (path, path))
    problem = authenticode.sign(credentials, options, unsigned, signed, password, names)
    if problem:
        raise tool.Failure("%s: %s%s" % (path, problem, free_space_hint(path)))
    authority = None
    if args.timestamp:
        try:
            authority = stamp(signed, unsigned, args.timestamp, trust)
        except tool.Failure as failure:
            raise tool.Failure("%s: %s; %s is untouched" % (path, failure, path))
    verification = authenticode.verify(signed, *trust)
    problem = signed_copy_problem(path, signed, verification, trust, args, expires_at)
    if problem:
        raise tool.Failure("%s: %s; %s is untouched" % (path, problem, path))
    # Flushed now, so that the renames at the end, after every file has
    # passed, have nothing left to fail on.
    try:
        os.chmod(signed, stat.S_IMODE(os.stat(path).st_mode))
        staging.flush(signed)
    except OSError:
        raise tool.Failure("%s: cannot flush the signed copy to disk; %s is untouched" % (path, path))
    return signed, SignedFile(path, authority, verification.stamped_at if authority else None)


def signed_line(signed_file):
    if signed_file.authority is None:
        return "signed %s" % signed_file.path
    return "signed %s, time-stamped by %s at %s" % (signed_file.path, signed_file.authority,
                                                    signed_file.stamped_at)


def read_pem_option(path, what):
    try:
        return certificates.from_pem_file(path)
    except certificates.Unreadable:
        raise tool.Failure("cannot read a certificate in %s (%s, PEM)" % (path, what))


def trust_anchors(args):
    """The roots a signature must chain to: the system's and --roots."""
    given = read_pem_option(args.roots, "--roots") if args.roots else []
    return certificates.from_pem_bytes(system_roots(), skip_bad=True) + given, given


def checked_signer(args, password):
    """The signer's certificate, checked before the key is used: valid now,
    a code-signing profile, a chain to a trusted root, not revoked. Returns
    (the chain from signer to root, the roots given, the revocation text,
    the credentials' own certificates)."""
    found = read_certificates(args, password)
    signer, cannot = found[0], "cannot sign with %s: " % (args.pkcs12 or args.cert)
    problem = certificates.validity_problem(signer, certificates.now())
    problems, warnings = certificates.profile_problems(signer)
    if problem or problems:
        raise tool.Failure(cannot + "; ".join(([problem] if problem else []) + problems))
    for warning in warnings:
        print("warning: %s" % warning)
    pool = found[1:] + (read_pem_option(args.chain, "--chain") if args.chain else [])
    anchors, given = trust_anchors(args)
    try:
        chain = certificates.chain_to_root(signer, pool, anchors)
        issuer = chain[1] if len(chain) > 1 else signer
        revocation = certificates.revocation(signer, issuer, args.crl)
    except certificates.Unreadable as reason:
        raise tool.Failure(cannot + str(reason))
    if revocation.state == "revoked":
        raise tool.Failure(cannot + "its certificate was " + revocation.text)
    return chain, given, revocation.text, found


def sign_files(args, files, description=None, url=None, replace=False):
    """Signs files in place as the module's docstring says and prints what
    sign prints; returns the Signing record. A failure is a tool.Failure,
    every file untouched."""
    check_inputs(args, files, replace)
    if args.pkcs11_module and not certificates.module_loads(args.pkcs11_module):
        raise tool.Failure("cannot load the PKCS#11 module %s" % args.pkcs11_module)
    password = certificates.password_line(args.password_file)
    chain, given, revocation, found = checked_signer(args, password)
    signer = chain[0]
    start, end = certificates.validity(signer)
    record = Signing("%s, valid %s to %s" % (certificates.subject_text(signer),
                                             certificates.gmt(start), certificates.gmt(end)),
                     certificates.key_place(args.key, args.pkcs12, args.pkcs11_module),
                     certificates.gmt(end), [], [certificates.subject_text(c) for c in chain],
                     ["%s, SHA-256 %s" % (certificates.subject_text(c), certificates.fingerprint(c))
                      for c in given], revocation)
    print("signer: %s" % record.signer)
    print(record.key_place)
    print("chain: %s" % " < ".join('"%s"' % subject for subject in record.chain))
    print(revocation if revocation.startswith("revocation") else "revocation: " + revocation)
    names = {"password": args.password_file, "key": args.key, "cert": args.cert,
             "pkcs12": args.pkcs12 or args.key,
             "credentials": args.pkcs12 or "%s and %s" % (args.cert, args.key)}
    expires_at = (end - datetime.datetime(1970, 1, 1)).total_seconds() + AFTER_EXPIRY_SECONDS
    for folder in sorted({os.path.dirname(path) or "." for path in files}):
        staging.remove_stale(folder, lambda text: tool.note(TOOL, text))
    options = ["-h", "sha256"] + (["-n", description] if description else []) + (
        ["-i", url] if url else [])
    # The signature carries the signer's certificate and the intermediates,
    # never the root: Windows has that, or the chain is not one to ship.
    intermediates = chain[1:-1] if len(chain) > 2 else []
    in_pkcs12 = found[1:] if args.pkcs12 else []
    temporary = []
    with tempfile.NamedTemporaryFile() as roots, tempfile.NamedTemporaryFile() as stamp_roots, \
            tempfile.NamedTemporaryFile() as certs, tempfile.NamedTemporaryFile() as extra:
        roots.write(system_roots() + certificates.pem(given))
        stamp_roots.write(system_roots() + (read(args.timestamp_ca) if args.timestamp_ca else b""))
        certs.write(certificates.pem([signer] + intermediates))
        lacking = [c for c in intermediates if c not in in_pkcs12]
        extra.write(certificates.pem(lacking))
        for file in (roots, stamp_roots, certs, extra):
            file.flush()
        credentials = credential_arguments(args, certs.name, extra.name if lacking else None)
        try:
            copies = [sign_copy(path, args, credentials, options, password,
                                (roots.name, stamp_roots.name), expires_at, names, temporary)
                      for path in files]
            for (copy, signed_file) in copies:
                try:
                    staging.put_in_place(copy, signed_file.path)
                except staging.StagingError as problem:
                    raise tool.Failure("cannot replace %s: %s" % (signed_file.path, problem))
                print(signed_line(signed_file))
                record.files.append(signed_file)
        finally:
            for path in temporary:
                if os.path.lexists(path):
                    os.unlink(path)
    if not args.timestamp:
        print("note: no --timestamp: these signatures stop verifying on %s, when the certificate "
              "expires" % record.expires)
    return record


def read(path):
    with open(path, "rb") as file:
        return file.read() + b"\n"


def system_roots():
    try:
        return read(SYSTEM_ROOTS)
    except OSError:
        return b""


def main(argv):
    parser = argparse.ArgumentParser(
        prog=TOOL, description=__doc__.split("\n\n")[0], epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    add_key_options(parser)
    parser.add_argument("--description", metavar="TEXT",
                        help="what the elevation prompt shows as the program's name")
    parser.add_argument("--url", metavar="URL",
                        help="what the elevation prompt shows as its \"more information\" link")
    parser.add_argument("--replace", action="store_true",
                        help="sign files that are signed already, replacing that signature (else "
                        "they are refused)")
    parser.add_argument("files", metavar="FILE", nargs="*")
    args = parser.parse_args(argv)
    problem = key_options_problem(args) or (None if args.files else "no file to sign")
    if problem:
        parser.error(problem)
    sign_files(args, args.files, args.description, args.url, args.replace)
    return 0
