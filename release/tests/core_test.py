"""Unit tests of the release tools' core: what osslsigncode 2.5 and 2.9 said
in real runs (captured by capture_said.py into osslsigncode_said.json) read
into records, the release's lines from the signing's record, and staging's
ways of failing."""
import json
import os
import sys
import tempfile
import unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from nerim_release import authenticode, certificates, releasing, sbom, signing, staging  # noqa: E402

SAID = os.path.join(os.path.dirname(os.path.abspath(__file__)), "osslsigncode_said.json")
SIGNER = "/CN=Nerim Test Signer/O=Brenk"
# case: (verified, mismatch, signer, stamped, stamp verified), the same for both versions.
VERIFICATIONS = {
    "verify unsigned": (False, False, None, False, False),
    "verify trusted": (True, False, SIGNER, False, False),
    "verify untrusted": (False, False, SIGNER, False, False),
    "verify changed": (False, True, None, False, False),  # it stops at the digest
    "verify stamped": (True, False, SIGNER, True, True),
    # osslsigncode exits 0 here: only its words say the authority is unknown.
    "verify stamped untrusted authority": (True, False, SIGNER, True, False),
    "verify expired": (False, False, "/CN=Old Signer/O=Brenk", False, False),
}
NAMES = {"password": "pin.txt", "key": "KEY", "cert": "CERT", "pkcs12": "P12",
         "credentials": "CREDENTIALS"}
SIGN_FAILURES = {
    "sign wrong password": "wrong password for P12",
    "sign key of another certificate": "the key KEY does not belong to the certificate CERT",
    "sign wrong PIN": "the token refused the PIN in pin.txt (tried once",
}


def captured():
    with open(SAID) as file:
        return json.load(file)


class WhatOsslsigncodeSaid(unittest.TestCase):
    def test_both_versions_were_captured(self):
        self.assertEqual({row["version"] for row in captured()}, {"2.5", "2.9"})

    def test_verifications(self):
        for row in captured():
            if row["case"] not in VERIFICATIONS:
                continue
            with self.subTest(version=row["version"], case=row["case"]):
                found = authenticode.read_verification(row["code"], row["said"])
                self.assertEqual((found.verified, found.mismatch, found.signer,
                                  found.stamped_at is not None, found.stamp_verified),
                                 VERIFICATIONS[row["case"]])
                if found.signer:
                    start, end = found.validity
                    self.assertLess(start, end)
                    # The signer's dates, not the time stamp's authority's (ten years).
                    self.assertLess((end - start).days, 400)
                if found.stamped_at:
                    self.assertRegex(found.stamped_at, r"^\w{3} [ \d]\d [\d:]{8} 20\d\d GMT$")

    def test_failed_signing_runs(self):
        for row in captured():
            if row["case"] in SIGN_FAILURES:
                with self.subTest(version=row["version"], case=row["case"]):
                    self.assertNotEqual(row["code"], 0)
                    self.assertTrue(authenticode.sign_failure(row["said"], NAMES)
                                    .startswith(SIGN_FAILURES[row["case"]]))

    def test_an_authority_that_refuses(self):
        for row in captured():
            if row["case"] == "add refused":
                with self.subTest(version=row["version"]):
                    self.assertEqual(authenticode.authority_problem(row["code"], row["said"], 60),
                                     "connection refused")
        self.assertEqual(authenticode.authority_problem(None, "", 60), "no answer within 60 s")

    def test_words_it_never_said_are_kept_without_openssl_error_lines(self):
        said = "Something new\n40F0:error:1234:odd\nFailed\n"
        self.assertEqual(authenticode.sign_failure(said, NAMES),
                         "osslsigncode failed: Something new Failed")


class ExtractedSignatures(unittest.TestCase):
    def test_bare_or_in_a_win_certificate(self):
        from cryptography.hazmat.primitives.serialization import Encoding, pkcs7
        roots = open("/etc/ssl/certs/ca-certificates.crt", "rb").read()
        certificate = certificates.from_pem_bytes(roots, skip_bad=True)[0]
        der = pkcs7.serialize_certificates([certificate], Encoding.DER)
        wrapped = (len(der) + 8).to_bytes(4, "little") + authenticode.WIN_CERTIFICATE + der + b"\0" * 3
        for name, data in (("2.9", der), ("2.5", wrapped), ("damaged", der[:40])):
            with self.subTest(name):
                self.assertEqual(authenticode.pkcs7_certificates(data),
                                 [] if name == "damaged" else [certificate])


class TheReleasesRecord(unittest.TestCase):
    def record(self, authority, stamped_at):
        return signing.Signing("CN = S, valid A to B", "key: in the file k.p12", "B",
                               [signing.SignedFile("dir/setup.exe", authority, stamped_at),
                                signing.SignedFile("dir/NerimInstaller.msi_", authority, stamped_at)],
                               ["CN = S", "CN = Root"], ["CN = Root, SHA-256 AB12"],
                               "revocation not checked: http://crl could not be reached")

    def test_lines(self):
        cases = [
            (None, None, "  no time stamp: it stops verifying on B"),
            ("http://tsa", "Dec 11 15:54:04 2026 GMT",
             "  time stamp: by http://tsa at Dec 11 15:54:04 2026 GMT"),
        ]
        for authority, stamped_at, last in cases:
            with self.subTest(authority=authority):
                self.assertEqual(releasing.signing_lines(self.record(authority, stamped_at)),
                                 ["setup.exe and NerimInstaller.msi_ signed by CN = S, valid A to B",
                                  "  key: in the file k.p12", '  chain: "CN = S" < "CN = Root"',
                                  "  revocation not checked: http://crl could not be reached",
                                  "  root given: CN = Root, SHA-256 AB12", last])


class TheSbomsOrder(unittest.TestCase):
    def test_dependencies(self):
        lm, engine = "SentinelRMSLicenseManager9.7.0.msi", "ISScript10.Msi"
        cases = [  # the medium's names: what depends on what beside the medium's own row
            ([engine, lm, "setup.exe"], {"setup.exe": [engine, lm], lm: [engine]}),
            ([lm, "setup.exe"], {"setup.exe": [lm]}),  # no scripting engine: nothing before it
            (["isscript10.msi", lm], {lm: ["isscript10.msi"]}),  # found whatever its letter case
        ]
        for names, expected in cases:
            with self.subTest(names=names):
                found = sbom.dependencies(names)
                self.assertEqual(found[0], {"ref": "medium", "dependsOn": sorted(names)})
                self.assertEqual({d["ref"]: d["dependsOn"] for d in found[1:]}, expected)


class Staging(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.target = os.path.join(self.folder.name, "target")
        with open(self.target, "w") as file:
            file.write("old")

    def tearDown(self):
        self.folder.cleanup()

    def new(self, folder=False):
        path = staging.staged(self.target, folder=folder)
        if not folder:
            with open(path, "w") as file:
                file.write("new")
        return path

    def content(self):
        with open(self.target) as file:
            return file.read()

    def test_a_flush_that_fails_leaves_the_target(self):
        path = self.new()
        with mock.patch("os.fsync", side_effect=OSError(5, "Input/output error")):
            with self.assertRaisesRegex(staging.StagingError, "cannot flush .* Input/output"):
                staging.put_in_place(path, self.target)
        self.assertEqual(self.content(), "old")

    def test_no_rename_in_one_step_leaves_both(self):
        os.unlink(self.target)
        os.mkdir(self.target)
        path = self.new(folder=True)
        with self.assertRaisesRegex(staging.StagingError, "cannot swap .* in one step: no"):
            staging.put_in_place(path, self.target, renameat2=lambda *a: "no")
        self.assertTrue(os.path.isdir(path) and os.path.isdir(self.target))

    def test_a_new_name_is_never_replaced(self):
        os.unlink(self.target)
        path = self.new()
        with mock.patch("os.rename") as rename:
            staging.put_in_place(path, self.target)
        rename.assert_not_called()  # renameat2 with "noreplace" instead
        self.assertEqual(self.content(), "new")

    def test_leftovers(self):
        dead = os.fork()
        if dead == 0:
            os._exit(0)
        os.waitpid(dead, 0)
        mine = staging.staged(self.target)
        theirs = staging.staged(self.target, owner=dead)
        said = []
        staging.remove_stale(self.folder.name, said.append)
        self.assertTrue(os.path.exists(mine))
        self.assertFalse(os.path.exists(theirs))
        self.assertEqual(len(said), 2)

    def test_one_lock_at_a_time(self):
        held = staging.lock(self.folder.name)
        self.assertIsNotNone(held)
        child = os.fork()
        if child == 0:
            os._exit(0 if staging.lock(self.folder.name) is None else 1)
        self.assertEqual(os.waitpid(child, 0)[1], 0)
        os.close(held)


if __name__ == "__main__":
    unittest.main()
