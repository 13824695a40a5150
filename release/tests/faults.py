#!/usr/bin/python3
"""Makes the faults the medium check's tests plant in a copy of a medium,
each as tools that patch programs would leave it (the checksum made to fit).

usage: faults.py checksum FILE         sets FILE's checksum to its bytes
       faults.py machine FILE          marks FILE as a 64-bit (x86-64) program
       faults.py ui-access FILE        its manifest asks for uiAccess="true"
       faults.py links FILE PATTERN N  N hard links to FILE named PATTERN % i"""
import os
import sys

import pefile


def fix_checksum(path):
    pe = pefile.PE(path)
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    pe.write(path)


def set_machine(path):
    pe = pefile.PE(path)
    pe.FILE_HEADER.Machine = 0x8664
    pe.write(path)
    fix_checksum(path)


def ask_ui_access(path):
    with open(path, "rb") as file:
        data = file.read()
    asked = data.replace(b'uiAccess="false"', b'uiAccess="true" ')
    if asked == data:
        sys.exit("%s: no uiAccess=\"false\" in its manifest" % path)
    with open(path, "wb") as file:
        file.write(asked)
    fix_checksum(path)


def main(argv):
    if len(argv) < 2 or argv[0] in ("-h", "--help"):
        sys.exit(__doc__.split("\n\n")[1])
    what, path = argv[0], argv[1]
    if what == "links":
        for i in range(int(argv[3])):
            os.link(path, argv[2] % i)
    else:
        {"checksum": fix_checksum, "machine": set_machine, "ui-access": ask_ui_access}[what](path)


if __name__ == "__main__":
    main(sys.argv[1:])
