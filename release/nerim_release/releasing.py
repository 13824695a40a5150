"""Makes a release from the vendor's files and this commit: builds the
shipped setup.exe in a fresh folder, lays out the medium, signs setup.exe
when given a key, checks the medium, and writes it with a .zip, an ISO image,
RELEASE.txt and SHA256SUMS.

The release is made in a hidden folder in --out and renamed at the end, so
nothing that looks finished appears unless every step passed; --force swaps
the new release for the old one in one rename. One run at a time writes into
an --out (a lock on the folder); a run killed by SIGKILL leaves its hidden
folder, which the next run names and removes."""
import argparse
import fnmatch
import glob
import os
import re
import shutil
import subprocess
import sys
import types

from . import medium_check, pe_checks, sbom, signing, staging, tool
from .names import DRIVER, LM_PREFIX, MAIN_PACKAGE, SCRIPTING_ENGINE

TOOL = "release"
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
VENDOR_FILES = (MAIN_PACKAGE, LM_PREFIX + "*.msi", SCRIPTING_ENGINE, DRIVER)
# Flags from the environment would build other bytes under the same commit.
BUILD_FLAGS = ("CFLAGS", "CXXFLAGS", "CPPFLAGS", "LDFLAGS")
EPILOG = """Exit codes: 0 released, 1 a step failed (the last line, "release: STEP:
WHY", says which and why; nothing was released), 2 bad usage. Unsigned, the
same commit and vendor files give byte-identical archives."""


def git(*arguments):
    result = subprocess.run(["git"] + list(arguments), cwd=ROOT, capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, check=False)
    return result.stdout if result.returncode == 0 else None


def check_vendor(step, vendor):
    """Only what setup.exe uses, and only files; letter case and names are
    the medium check's to judge."""
    step.name = "reading --vendor"
    if not os.path.isdir(vendor):
        raise tool.Failure("%s is not a folder" % vendor)
    for name in sorted(os.listdir(vendor)):
        if not any(fnmatch.fnmatch(name.lower(), pattern.lower()) for pattern in VENDOR_FILES):
            raise tool.Failure("%s is not part of a medium (setup.exe uses none but the main package, the "
                 "licence manager, %s and the driver's installer)" % (name, SCRIPTING_ENGINE))
        if not os.path.isfile(os.path.join(vendor, name)):
            raise tool.Failure("%s is not a regular file" % name)


def changed_files(step, allow_dirty):
    """The tracked files changed since the commit, staged or not."""
    step.name = "reading the checkout"
    commit = git("rev-parse", "HEAD")
    if commit is None:
        raise tool.Failure("not a git checkout: the release names the commit it is built from")
    status = git("status", "--porcelain", "--untracked-files=no")
    changed = [line[3:] for line in (status or "").splitlines() if line.strip()]
    if changed and not allow_dirty:
        raise tool.Failure("uncommitted changes to %s; commit them, or give --allow-dirty" % " ".join(changed))
    return commit.strip(), changed


def first_line(command):
    result = subprocess.run(command, capture_output=True, text=True, check=False)
    return result.stdout.splitlines()[0] if result.returncode == 0 and result.stdout else None


def cmake_compiler(build, language):
    """The compiler CMake found for language ("CXX", "RC"), or ""."""
    for path in glob.glob(os.path.join(build, "CMakeFiles", "*", "CMake%sCompiler.cmake" % language)):
        with open(path) as file:
            found = re.search(r'^set\(CMAKE_%s_COMPILER "(.*)"\)$' % language, file.read(),
                              re.MULTILINE)
        if found:
            return found.group(1)
    return ""


def toolchain(build):
    """"built with" and "Debian packages" as RELEASE.txt says them."""
    compiler, linker = cmake_compiler(build, "CXX") or None, None
    with open(os.path.join(build, "CMakeCache.txt")) as file:
        found = re.search(r"^CMAKE_LINKER:[A-Z]*=(.*)$", file.read(), re.MULTILINE)
        linker = found and found.group(1)
    versions = [first_line([program, "--version"]) for program in (compiler, linker) if program]
    try:
        packages = subprocess.run(["dpkg-query", "-W", "-f", "${Package} ${Version}, ",
                                   "g++-mingw-w64-i686*", "binutils-mingw-w64-i686"],
                                  capture_output=True, text=True, check=False).stdout
    except OSError:  # not a Debian machine: the versions above still say it
        packages = ""
    return (None if len(versions) != 2 or None in versions else "; ".join(versions),
            packages.strip().rstrip(","))


def owning_packages(paths):
    """{Debian package: version} of the packages that hold paths."""
    found = {}
    for path in paths:
        for candidate in dict.fromkeys([os.path.realpath(path), os.path.normpath(path)]):
            result = subprocess.run(["dpkg-query", "-S", candidate], capture_output=True, text=True,
                                    stdin=subprocess.DEVNULL, check=False)
            if result.returncode == 0:
                for package in result.stdout.split(": ", 1)[0].split(","):
                    found[package.strip()] = None
                break
    for package in found:
        found[package] = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package],
                                        capture_output=True, text=True, check=False).stdout
    return found


def loaded_library(name):
    """The file the system's loader gives for a shared library, e.g. the
    libssl.so.3 osslsigncode runs with."""
    import ctypes
    ctypes.CDLL(name)
    with open("/proc/self/maps") as maps:
        for line in maps:
            if line.rstrip().endswith("/" + name) or ("/" + name) in line:
                return line.split()[-1]
    return None


def build_record(build):
    """Every Debian package whose files reach setup.exe's bytes (what the
    linker's map loaded, the compiler's programs and the resource compiler),
    CMake, and the osslsigncode and OpenSSL that sign; as "package version"."""
    with open(os.path.join(build, "setup.map"), errors="replace") as file:
        loaded = [line.split(None, 1)[1].strip() for line in file if line.startswith("LOAD /")]
    compiler, resources = (cmake_compiler(build, language) for language in ("CXX", "RC"))
    programs = [compiler, resources] + [
        (first_line([compiler, "-print-prog-name=%s" % p]) or "") for p in ("cc1plus", "as", "ld")]
    tools = [shutil.which("cmake") or "", shutil.which("osslsigncode") or "",
             loaded_library("libssl.so.3") or ""]
    found = owning_packages([p for p in loaded + programs + tools if os.path.isabs(p)])
    return ["%s %s" % (package, found[package]) for package in sorted(found)]


def build_setup(step, stage, commit):
    """setup.exe built from the checkout in a fresh folder; (its path, version,
    toolchain, packages)."""
    step.name = "building setup.exe"
    print("building setup.exe (preset i686) from %s in a fresh folder" % commit)
    build, log_path = os.path.join(stage, "build"), os.path.join(stage, "build.log")
    environment = {k: v for k, v in os.environ.items() if k not in BUILD_FLAGS}
    with open(log_path, "w") as log:
        built = all(subprocess.run(command, cwd=ROOT, env=environment, stdout=log,
                                   stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL).returncode == 0
                    for command in (["cmake", "--preset", "i686", "-B", build, "-DNERIM_TESTS=OFF"],
                                    ["cmake", "--build", build, "--target", "setup"]))
    if not built:
        with open(log_path, errors="replace") as log:
            sys.stderr.write("".join(log.readlines()[-20:]))
        raise tool.Failure("the build failed (its last lines are above)")
    setup = os.path.join(build, "setup.exe")
    with open(setup, "rb") as file:
        data = file.read()
    version = None if pe_checks.whole_pe_problem(data) else pe_checks.product_version(
        pe_checks.pefile.PE(data=data))
    if version is None:
        raise tool.Failure("setup.exe has no version")
    built_with, packages = toolchain(build)
    if built_with is None:
        raise tool.Failure("cannot tell the compiler's and the linker's versions")
    return setup, version, built_with, packages, build_record(build)


def signing_lines(record):
    """What RELEASE.txt says of the signatures, from the signing's record."""
    lines = ["%s signed by %s" % (" and ".join(os.path.basename(f.path) for f in record.files),
                                  record.signer),
             "  " + record.key_place,
             "  chain: %s" % " < ".join('"%s"' % subject for subject in record.chain),
             "  " + (record.revocation if record.revocation.startswith("revocation")
                     else "revocation: " + record.revocation)]
    lines += ["  root given: %s" % root for root in record.roots]
    stamped = record.files[0]
    if stamped.authority:
        lines.append("  time stamp: by %s at %s" % (stamped.authority, stamped.stamped_at))
    else:
        lines.append("  no time stamp: it stops verifying on %s" % record.expires)
    return lines


def check(step, stage, name, timestamp_ca, roots, bill):
    """The medium check's lines; stops the release on an error."""
    step.name = "checking the medium"
    print("checking the medium")
    lines = []
    here = os.getcwd()
    os.chdir(stage)  # its lines name the medium as the release does
    try:
        code = medium_check.run_check(name, medium_check.SYSTEM_CA_BUNDLE, timestamp_ca,
                                      lines.append, roots, bill)
    finally:
        os.chdir(here)
    if code != 0:
        print("\n".join(lines))
        raise tool.Failure("the medium check found errors (above)")
    for line in lines:
        if not line.startswith("ok: "):
            print(line)
    return lines


def write_archives(step, stage, name, version, epoch):
    """The .zip and the ISO image, with fixed times and order, so that the
    same inputs give the same archives. Every name is ASCII (the check
    refuses others), so the zip needs no Unicode flag for Explorer to read
    the names as they are."""
    step.name = "writing the archives"
    medium = os.path.join(stage, name)
    files = sorted(os.listdir(medium))
    for path in [os.path.join(medium, f) for f in files] + [medium]:
        os.utime(path, (epoch, epoch))
    environment = dict(os.environ, LC_ALL="C", TZ="UTC", SOURCE_DATE_EPOCH=str(epoch))
    if subprocess.run(["zip", "-q", "-X", "-D", name + ".zip"] + [name + "/" + f for f in files],
                      cwd=stage, env=environment, stdin=subprocess.DEVNULL).returncode != 0:
        raise tool.Failure("zip failed")
    said = subprocess.run(["xorriso", "-no_rc", "-as", "mkisofs", "-quiet", "-J", "-joliet-long",
                           "-r", "-V", "NERIM_" + version.replace(".", "_"),
                           "-o", os.path.join(stage, name + ".iso"), medium],
                          env=environment, capture_output=True, text=True, errors="replace",
                          stdin=subprocess.DEVNULL)
    if said.returncode != 0:
        sys.stderr.write(said.stderr)
        raise tool.Failure("xorriso could not write the ISO image (its words are above)")
    return [name + "/" + f for f in files] + [name + ".zip", name + ".iso"]


def make_release(args, step, stage):
    """Everything but putting the release in place; returns (its name, the commit, changed)."""
    commit, changed = changed_files(step, args.allow_dirty)
    os.chmod(stage, 0o755)
    setup, version, built_with, packages, record = build_setup(step, stage, commit)
    name = "Nerim-" + version
    if os.path.lexists(os.path.join(args.out, name)) and not args.force:
        raise tool.Failure("%s exists; --force replaces it" % os.path.join(args.out, name))
    step.name = "laying out the medium"
    medium = os.path.join(stage, name)
    os.mkdir(medium)
    for path in [os.path.join(args.vendor, f) for f in os.listdir(args.vendor)] + [setup]:
        shutil.copyfile(path, os.path.join(medium, os.path.basename(path)))
        os.chmod(os.path.join(medium, os.path.basename(path)), 0o644)
    signed = ["setup.exe and %s not signed" % MAIN_PACKAGE]
    if args.pkcs12 or args.cert or args.key:
        # Ours only: the vendors' files keep their own signatures.
        step.name = "signing setup.exe and %s" % MAIN_PACKAGE
        signed = signing_lines(signing.sign_files(
            args, [os.path.join(medium, "setup.exe"), os.path.join(medium, MAIN_PACKAGE)],
            description="Nerim Setup"))
    epoch = int(git("log", "-1", "--format=%ct", "HEAD").strip())
    step.name = "writing the SBOM"
    bill = name + ".cdx.json"
    with open(os.path.join(stage, bill), "w") as file:
        file.write(sbom.text(sbom.make(medium, version, epoch, [("nerim:commit", commit)] + [
            ("nerim:build-package", package) for package in record])))
    checked = check(step, stage, name, args.timestamp_ca, args.roots, bill)
    shipped = write_archives(step, stage, name, version, epoch)
    lines = ["Nerim %s, built from commit %s" % (version, commit)]
    if changed:
        lines.append("with uncommitted changes to: %s" % " ".join(changed))
    lines.append("built with: %s" % built_with)
    if packages:
        lines.append("Debian packages: %s" % packages)
    lines += ["build record (the Debian packages whose files reach setup.exe's bytes, and the tools "
              "that built and signed it):"] + ["  " + package for package in record]
    lines += signed + ["medium check:"] + ["  " + line for line in checked]
    with open(os.path.join(stage, "RELEASE.txt"), "w") as file:
        file.write("\n".join(lines) + "\n")
    shutil.rmtree(os.path.join(stage, "build"))
    os.unlink(os.path.join(stage, "build.log"))
    with open(os.path.join(stage, "SHA256SUMS"), "w") as file:
        for path in sorted(shipped[:-2]) + shipped[-2:] + [bill, "RELEASE.txt"]:
            file.write("%s  %s\n" % (sbom.sha256(os.path.join(stage, path)), path))
    return name, commit, changed


def release(args, step):
    check_vendor(step, args.vendor)
    step.name = "locking --out"
    try:
        os.makedirs(args.out, exist_ok=True)
        held = staging.lock(args.out)
    except OSError as error:
        raise tool.Failure("cannot make the folder %s: %s" % (args.out, error.strerror))
    if held is None:
        raise tool.Failure("another release is writing into %s; wait for it to end, then run again"
             % args.out)
    # Staged folders of runs that were killed: we hold the lock, so no run owns them.
    step.name = "looking for leftovers in %s" % args.out
    staging.remove_stale(args.out, lambda text: tool.note(TOOL, text))
    step.name = "building setup.exe"
    stage = staging.staged(os.path.join(args.out, "Nerim-build"), folder=True)
    try:
        name, commit, changed = make_release(args, step, stage)
        step.name = "putting the release in place"
        final = os.path.join(args.out, name)
        try:
            # An old release is swapped with the new one in one step, then removed.
            staging.put_in_place(stage, final)
        except staging.StagingError as problem:
            raise tool.Failure(str(problem))
    finally:
        if os.path.lexists(stage):
            shutil.rmtree(stage, ignore_errors=True)
    print("released %s:" % final)
    for shown in sorted([name, name + ".zip", name + ".iso", name + ".cdx.json", "SHA256SUMS",
                         "RELEASE.txt"]):
        print("  " + shown)
    print("from commit %s%s" % (commit, ", with uncommitted changes" if changed else ""))


def main(argv):
    parser = argparse.ArgumentParser(
        prog=TOOL, description=__doc__.split("\n\n")[0], epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--vendor", metavar="DIR", required=True,
                        help="the main package, the licence manager's package, the scripting "
                        "engine's and the driver's installer, as medium/names.sh names them; "
                        "nothing else")
    parser.add_argument("--out", metavar="DIR", required=True,
                        help="where the release folder Nerim-<version> is written")
    signing.add_key_options(parser)
    parser.add_argument("--allow-dirty", action="store_true",
                        help="build from a tree with uncommitted changes (said in RELEASE.txt)")
    parser.add_argument("--force", action="store_true",
                        help="replace a release folder of the same name")
    args = parser.parse_args(argv)
    if args.pkcs12 or args.cert or args.key or args.pkcs11_module or args.password_file:
        problem = signing.key_options_problem(args)
        if problem:
            parser.error(problem)
    args.vendor, args.out = os.path.abspath(args.vendor), os.path.abspath(args.out)
    # The step under way, for the one line a failure ends with.
    step = types.SimpleNamespace(name="reading the arguments")
    try:
        release(args, step)
    except tool.Interrupted:
        raise tool.Interrupted("%s: interrupted; nothing was released" % step.name)
    except tool.Failure as failure:
        raise tool.Failure("%s: %s" % (step.name, failure))
    except OSError as error:
        raise tool.Failure("%s: %s%s; nothing was released" % (
            step.name, error.strerror, " (%s)" % error.filename if error.filename else ""))
    return 0
