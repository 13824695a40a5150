#!/usr/bin/python3
"""Checks an installation medium folder before it ships.

usage: check-medium.py MEDIUM_FOLDER

Reports, in plain words, what setup.exe would silently act on: a main package
that is missing or is no Windows Installer package, licence-manager packages
that setup.exe would install again on every run or pick by chance, and
missing optional files. Exits 1 when there is an error; warnings alone leave
the exit code 0. Uses msitools (msiinfo) to read the packages.
"""
import fnmatch
import os
import subprocess
import sys

MAIN_PACKAGE = "NerimInstaller.msi_"
LM_PREFIX = "SentinelRMSLicenseManager"
SCRIPTING_ENGINE = "ISScript10.Msi"
DRIVER = "SentinelSystemDriverInstaller7.5.8.exe"


def licence_manager_version(name):
    """The version text exactly as setup.exe cuts it from a package name."""
    end = name.find(".msi")
    if end < len(LM_PREFIX):
        end = len(name)
    return name[len(LM_PREFIX):end]


def msi_property(path, name):
    """A package's Property value, or None when the file is no readable package."""
    result = subprocess.run(["msiinfo", "export", path, "Property"],
                            capture_output=True, text=True, check=False)
    if result.returncode != 0:
        return None
    for line in result.stdout.splitlines():
        key, _, value = line.partition("\t")
        if key == name:
            return value
    return ""


def matching(names, pattern):
    """Windows' matching of a name pattern: letter case ignored."""
    return sorted(n for n in names if fnmatch.fnmatch(n.lower(), pattern.lower()))


def check_main_package(folder, names, report):
    found = matching(names, MAIN_PACKAGE)
    if not found:
        report("error", "%s is missing: setup.exe would hand msiexec a package that is "
               "not there" % MAIN_PACKAGE)
    elif msi_property(os.path.join(folder, found[0]), "ProductCode") is None:
        report("error", "%s is not a Windows Installer package" % found[0])


def check_licence_manager(folder, names, report):
    packages = matching(names, LM_PREFIX + "*.msi")
    if not packages:
        report("error", "no %s<version>.msi: the licence manager cannot be installed" % LM_PREFIX)
        return
    if len(packages) > 1:
        report("error", "%d licence-manager packages (%s): setup.exe uses only the first one "
               "the file system lists, and that order is not yours to choose"
               % (len(packages), ", ".join(packages)))
    for name in packages:
        check_licence_manager_package(folder, name, report)


def check_licence_manager_package(folder, name, report):
    version = licence_manager_version(name)
    if version == "":
        report("error", "%s holds no version after %s: any installed Sentinel License "
               "Manager would count as this one" % (name, LM_PREFIX))
        return
    if ".msi" not in name:
        report("error", "%s: setup.exe looks for a lower-case \".msi\", so it reads the version "
               "as \"%s\", which no installed program shows: the package would be installed "
               "again on every run; name it with \".msi\"" % (name, version))
        return
    product = msi_property(os.path.join(folder, name), "ProductName")
    if product is None:
        report("error", "%s is not a Windows Installer package" % name)
        return
    missing = [w for w in ("Sentinel", "License Manager", version) if w not in product]
    if missing:
        report("error", "%s: its product name \"%s\" lacks %s, so setup.exe never recognises "
               "it as installed and installs it again on every run"
               % (name, product, ", ".join('"%s"' % w for w in missing)))


def check_optional_files(names, report):
    if SCRIPTING_ENGINE not in names:
        others = matching(names, SCRIPTING_ENGINE)
        if others:
            report("warning", "%s is there only as %s; Windows finds it whatever its letter "
                   "case, but a copy to a case-sensitive file system would not"
                   % (SCRIPTING_ENGINE, others[0]))
        else:
            report("warning", "%s is missing: the licence manager is installed without the "
                   "scripting engine" % SCRIPTING_ENGINE)
    if not matching(names, DRIVER):
        others = matching(names, "SentinelSystemDriverInstaller*.exe")
        detail = " (there is %s, which setup.exe does not look for)" % ", ".join(others) \
            if others else ""
        report("warning", "%s is missing%s: the hardware-key driver cannot be installed"
               % (DRIVER, detail))


def main(folder):
    if not os.path.isdir(folder):
        print("error: %s is not a folder" % folder)
        return 1
    names = os.listdir(folder)
    errors = []

    def report(kind, message):
        print("%s: %s" % (kind, message))
        if kind == "error":
            errors.append(message)

    if not matching(names, "setup.exe"):
        report("error", "setup.exe is missing")
    check_main_package(folder, names, report)
    check_licence_manager(folder, names, report)
    check_optional_files(names, report)
    if not errors:
        print("ok: %s is ready to ship" % folder)
    return 1 if errors else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
