#!/usr/bin/python3
"""Validates an SBOM against CycloneDX's published JSON schema, as the npm
package @cyclonedx/cyclonedx-library ships it (SCHEMA_DIR: its res/schema),
with Debian's python3-jsonschema; prints the first faults and exits 1.
With --list, prints each component's name and version instead, a line each.

usage: validate_sbom.py SCHEMA_DIR SBOM_JSON
       validate_sbom.py --list SBOM_JSON"""
import json
import os
import sys
import warnings

import jsonschema


def main(schemas, path):
    if schemas == "--list":
        with open(path, encoding="utf-8") as file:
            for component in json.load(file)["components"]:
                print(component["name"], component.get("version", "-"))
        return 0
    def load(name):
        with open(os.path.join(schemas, name), encoding="utf-8") as file:
            return json.load(file)
    bom_schema = load("bom-1.6.SNAPSHOT.schema.json")
    # Its $refs name the schemas beside it relative to its $id.
    store = {"http://cyclonedx.org/schema/" + name: load(name)
             for name in ("spdx.SNAPSHOT.schema.json", "jsf-0.82.SNAPSHOT.schema.json")}
    with open(path, encoding="utf-8") as file:
        bom = json.load(file)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # RefResolver, on newer jsonschema
        resolver = jsonschema.RefResolver.from_schema(bom_schema, store=store)
        validator = jsonschema.Draft7Validator(bom_schema, resolver=resolver,
                                               format_checker=jsonschema.FormatChecker())
        faults = sorted(validator.iter_errors(bom), key=lambda e: list(e.path))
    for fault in faults[:5]:
        print("%s: %s" % ("/".join(str(p) for p in fault.path) or "(top)", fault.message))
    return 1 if faults else 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] in ("-h", "--help"):
        sys.exit(__doc__.split("\n\n")[1])
    sys.exit(main(*sys.argv[1:]))
