#!/usr/bin/env python3
"""Says what ran and how it ended, from ctest's JUnit results, one line a
test: passed, FAILED, or not run with the reason the test gave (its line
that starts with "not run:") or the one given with --not-run."""
import argparse
import sys
import xml.etree.ElementTree as ElementTree

# What each test shows, in the words of the summary; a test not named here
# is shown by its ctest name.
WHAT = {
    "native_tests": "the rules, natively under ASan and UBSan",
    "scripts_usage": "every script's usage",
    "install_deps": "install-deps.sh against stand-ins for apt",
    "staging": "the tools' staging (release/staging): a file and a folder put in place in one rename, flushed first, renameat2 failing, a killed run's leftovers",
    "release_core": "the release tools' core: osslsigncode 2.5's and 2.9's captured words read into records, the release's record, staging's failures",
    "workflow_lint": "the hosted CI workflow, linted by actionlint, which finds a planted mistake",
    "setup_exe_headers": "the shipped setup.exe's headers, imports, manifest and version",
    "setup_exe_reproducible": "the shipped setup.exe built again is the same to the byte",
    "medium_check": "the medium check, and make-medium.sh, on media broken one fault at a time",
    "release": "release/release, with a run killed, two at once, a full disk and bad inputs",
    "version_change": "another version in CMakeLists.txt alone reaches setup.exe, the sample and run-sample.sh; run-sample.sh --fail reports to its end",
    "setup_exe_signing": "release/sign on the shipped setup.exe: keys in files and in a SoftHSM token, local time-stamping authorities, a full disk, bad certificates, a wrong PIN",
    "shipped_i686_wine": "the shipped 32-bit setup.exe under 32-bit wine: the typical chain, a failing main package, and what CI runs on Windows",
    "wine_prefix": "a wine prefix for the Win32 tests",
    "wine_tests": "the Win32 tests under wine, with every platform call of a typical run failed in turn through the fault seam",
    "system_drive": "the marker probe with the system directory on another drive",
    "e2e_real_medium": "setup.exe end to end with wine's Windows Installer, checked by the installation checker as on Windows",
}


def SkipReason(testcase):
    output = testcase.findtext("system-out") or ""
    reasons = [line.strip() for line in output.splitlines() if line.startswith("not run:")]
    return reasons[-1][len("not run:"):].strip() if reasons else "skipped"


def Outcome(testcase):
    status = testcase.get("status")
    if status == "run":
        return "passed"
    if status == "fail":
        return "FAILED"
    return "not run (%s)" % SkipReason(testcase)


def Lines(label, junit_file):
    try:
        suite = ElementTree.parse(junit_file).getroot()
    except (OSError, ElementTree.ParseError) as error:
        return ["%s: no results (%s)" % (label, error)], False
    lines, ok = [], True
    for testcase in suite.iter("testcase"):
        outcome = Outcome(testcase)
        ok = ok and outcome != "FAILED"
        name = testcase.get("name")
        lines.append("%s: %s: %s" % (label, WHAT.get(name, name), outcome))
    return lines, ok


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("results", nargs="+", metavar="LABEL=JUNIT_XML",
                        help="a test tree's label and its ctest --output-junit file")
    parser.add_argument("--not-run", action="append", default=[], metavar="WHAT=REASON",
                        help="a test or tree that was left out, and why")
    args = parser.parse_args()
    all_ok = True
    for pair in args.results:
        label, _, junit_file = pair.partition("=")
        lines, ok = Lines(label, junit_file)
        all_ok = all_ok and ok
        print("\n".join("  " + line for line in lines))
    for pair in args.not_run:
        what, _, reason = pair.partition("=")
        print("  %s: not run (%s)" % (WHAT.get(what, what), reason))
    return 0 if all_ok else 1


if __name__ == "__main__":
    sys.exit(main())
