#!/usr/bin/python3
"""A throwaway RFC 3161 time-stamping authority on 127.0.0.1 for the tests:
openssl ts -reply behind http.server. Makes its certificate (extended key
usage critical timeStamping) in FOLDER unless it is there, answers after
DELAY seconds, goes on in the background (its process id in FOLDER/pid)
and prints its URL once it listens.

usage: timestamp_authority.py FOLDER DELAY"""
import http.server
import os
import subprocess
import sys
import time

from file_server import serve_in_background


def make_authority(folder):
    config = os.path.join(folder, "tsa.cnf")
    if os.path.exists(config):
        return config
    os.makedirs(folder, exist_ok=True)
    key, cert = os.path.join(folder, "tsa.key"), os.path.join(folder, "tsa.crt")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
                    "-subj", "/CN=Nerim Test Time Stamping/O=Brenk", "-addext",
                    "extendedKeyUsage=critical,timeStamping", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    with open(os.path.join(folder, "serial"), "w") as serial:
        serial.write("01\n")
    with open(config, "w") as out:
        out.write("[tsa]\ndefault_tsa = t\n[t]\nserial = %s\nsigner_cert = %s\nsigner_key = %s\n"
                  "signer_digest = sha256\ndefault_policy = 1.2.3.4.1\n"
                  "digests = sha256, sha384, sha512, sha1\naccuracy = secs:1\n"
                  "ess_cert_id_alg = sha256\n" % (os.path.join(folder, "serial"), cert, key))
    return config


def main(folder, delay):
    config = make_authority(folder)

    class Authority(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            time.sleep(delay)
            reply = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile",
                                    "/dev/stdin", "-out", "/dev/stdout"], input=query,
                                   capture_output=True, check=False).stdout
            self.send_response(200 if reply else 500)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *args):
            pass

    serve_in_background(Authority, os.path.join(folder, "pid"))


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] in ("-h", "--help"):
        sys.exit(__doc__.split("\n\n")[1])
    main(sys.argv[1], float(sys.argv[2]))
