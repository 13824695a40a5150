#!/usr/bin/python3
"""Captures what an osslsigncode says in the cases the Authenticode core
reads, for its unit tests: run once per version (Debian 12's 2.5, Debian
13's 2.9), each adding its rows to the table.

usage: capture_said.py OSSLSIGNCODE SETUP_EXE WORK_DIR TABLE_JSON"""
import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def make_parts(work, setup_exe):
    """A key, an expired key, a token holding a key, a time-stamping authority."""
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    key = lambda *a: subprocess.run(["bash", os.path.join(HERE, "make_test_key.sh")] + list(a),
                                    check=True)
    key(os.path.join(work, "key"))
    key(os.path.join(work, "expired"), "Old Signer", "20200101000000Z", "20210101000000Z")
    key(os.path.join(work, "token-signer"))
    key("--token", os.path.join(work, "token"), os.path.join(work, "token-signer"), "signer")
    os.environ["SOFTHSM2_CONF"] = os.path.join(work, "token", "softhsm2.conf")
    authority = subprocess.run(["/usr/bin/python3", os.path.join(HERE, "timestamp_authority.py"),
                                os.path.join(work, "tsa"), "0"], check=True, capture_output=True,
                               text=True).stdout.strip()
    shutil.copy(setup_exe, os.path.join(work, "plain.exe"))
    return authority


def main(argv):
    if len(argv) != 4:
        sys.exit(__doc__.split("\n\n")[1])
    program, setup_exe, work, table = argv
    table = os.path.abspath(table)
    authority = make_parts(os.path.abspath(work), setup_exe)
    os.chdir(work)
    version = subprocess.run([program, "--version"], capture_output=True,
                             text=True).stdout.split()[1].rstrip(",")
    token = "pkcs11:token=Nerim%20Test%20Token;object=signer"
    p12 = ["-pkcs12", "key/test.p12", "-readpass", "key/password.txt", "-h", "sha256"]
    system = "/etc/ssl/certs/ca-certificates.crt"
    cases = [  # (name, arguments, standard input)
        ("verify unsigned", ["verify", "-CAfile", "key/cert.pem", "-in", "plain.exe"], ""),
        ("sign", ["sign"] + p12 + ["-in", "plain.exe", "-out", "signed.exe"], ""),
        ("verify trusted", ["verify", "-CAfile", "key/cert.pem", "-in", "signed.exe"], ""),
        ("verify untrusted", ["verify", "-CAfile", system, "-in", "signed.exe"], ""),
        ("verify changed", ["verify", "-CAfile", "key/cert.pem", "-in", "changed.exe"], ""),
        ("add refused", ["add", "-ts", "http://127.0.0.1:9", "-h", "sha256", "-in", "signed.exe",
                         "-out", "refused.exe"], ""),
        ("add", ["add", "-ts", authority, "-h", "sha256", "-in", "signed.exe", "-out",
                 "stamped.exe"], ""),
        ("verify stamped", ["verify", "-CAfile", "key/cert.pem", "-TSA-CAfile", "tsa/tsa.crt",
                            "-in", "stamped.exe"], ""),
        ("verify stamped untrusted authority", ["verify", "-CAfile", "key/cert.pem",
                                                "-TSA-CAfile", system, "-in", "stamped.exe"], ""),
        ("sign expired", ["sign", "-pkcs12", "expired/test.p12", "-readpass",
                          "expired/password.txt", "-in", "plain.exe", "-out", "old.exe"], ""),
        ("verify expired", ["verify", "-CAfile", "expired/cert.pem", "-in", "old.exe"], ""),
        ("sign wrong password", ["sign", "-pkcs12", "key/test.p12", "-readpass", "/dev/stdin",
                                 "-in", "plain.exe", "-out", "wrong.exe"], "wrong"),
        ("sign key of another certificate", ["sign", "-certs", "key/cert.pem", "-key",
                                             "expired/key.pem", "-readpass", "expired/password.txt",
                                             "-in", "plain.exe", "-out", "other.exe"], ""),
        ("sign wrong PIN", ["sign", "-pkcs11module", "/usr/lib/softhsm/libsofthsm2.so", "-key",
                            token + ";type=private", "-pkcs11cert", token + ";type=cert",
                            "-readpass", "/dev/stdin", "-in", "plain.exe", "-out", "pin.exe"],
         "wrong-pin"),
    ]
    rows = []
    for name, arguments, stdin in cases:
        if name == "verify changed":  # signed.exe with a byte changed, its checksum made to fit
            with open("signed.exe", "rb") as file:
                data = bytearray(file.read())
            data[1024] ^= 0xFF
            with open("changed.exe", "wb") as file:
                file.write(data)
            subprocess.run(["/usr/bin/python3", os.path.join(HERE, "faults.py"), "checksum",
                            "changed.exe"], check=True)
        result = subprocess.run([program] + arguments, input=stdin, capture_output=True, text=True,
                                errors="replace")
        rows.append({"version": version, "case": name, "code": result.returncode,
                     "said": result.stdout + result.stderr})
    subprocess.run(["kill", open("tsa/pid").read().strip()], check=False)
    try:
        with open(table) as file:
            kept = [row for row in json.load(file) if row["version"] != version]
    except FileNotFoundError:
        kept = []
    with open(table, "w") as file:
        json.dump(kept + rows, file, indent=1)
        file.write("\n")


if __name__ == "__main__":
    main(sys.argv[1:])
