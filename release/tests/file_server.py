#!/usr/bin/python3
"""Serves FOLDER's files over http on 127.0.0.1 for the tests, as a
certificate authority publishes its CRLs: goes on in the background (its
process id in FOLDER.pid) and prints its URL once it listens.

usage: file_server.py FOLDER"""
import functools
import http.server
import os
import sys


def serve_in_background(handler, pid_path):
    """Listens on 127.0.0.1, goes on in a child whose process id is written
    to pid_path, and prints the URL once it listens."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    child = os.fork()
    if child:
        with open(pid_path, "w") as pid:
            pid.write("%d\n" % child)
        print("http://127.0.0.1:%d" % server.server_address[1], flush=True)
        return
    null = os.open(os.devnull, os.O_RDWR)
    for stream in (0, 1, 2):  # else the caller's $(...) would wait for it
        os.dup2(null, stream)
    server.serve_forever()


def main(folder):
    os.makedirs(folder, exist_ok=True)

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    serve_in_background(functools.partial(Quiet, directory=folder), folder.rstrip("/") + ".pid")


if __name__ == "__main__":
    if len(sys.argv) != 2 or sys.argv[1] in ("-h", "--help"):
        sys.exit(__doc__.split("\n\n")[1])
    main(sys.argv[1])
