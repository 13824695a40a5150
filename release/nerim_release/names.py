"""The installation medium's names, from medium/names.sh, where the shell
scripts read them too: the main package, the scripting engine, the licence
manager's file-name prefix, the driver installer, the markers and the
product's folder under Program Files."""
import os
import re

NAMES_FILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "medium", "names.sh")


def read_names(path=NAMES_FILE):
    names = {}
    with open(path, encoding="ascii") as source:
        for line in source:
            match = re.match(r"([A-Z_]+)='([^']*)'$", line.rstrip("\n"))
            if match:
                names[match.group(1)] = match.group(2)
    return names


_NAMES = read_names()
MAIN_PACKAGE = _NAMES["MAIN_PACKAGE"]
SCRIPTING_ENGINE = _NAMES["SCRIPTING_ENGINE"]
LM_PREFIX = _NAMES["LICENCE_MANAGER_PREFIX"]
DRIVER = _NAMES["DRIVER_INSTALLER"]
MARKERS = (_NAMES["LICENCE_MARKER"], _NAMES["DRIVER_MARKER"])
PRODUCT_FOLDER = tuple(_NAMES["PRODUCT_FOLDER"].split("\\"))
