#!/usr/bin/env python3
"""Plants each fault of the table below, one at a time, in a scratch copy of
the tree, rebuilds, runs the fastest tests that cover the file, and prints
"killed" (with the test that failed) or "survived". Not part of the test
suite: a check of the tests themselves, for a developer to repeat after
changing them. Takes about twenty minutes.

usage: mutation-check.py [--only WORD] [--first N] [--scratch DIR]
"""
import argparse
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# (file, exact text, replacement, the fault it models, the tests that cover it).
# "wine": the 64-bit shipped build under the x86_64 tree's wine tests and
# end-to-end test; "native": the rules under ASan; "pe": what check_pe.py reads
# from the shipped 32-bit file.
MUTANTS = [
    ("platform/process_rules.cpp", "malloc(CommandLineLength(argv) + 1)",
     "malloc(CommandLineLength(argv))", "command line one byte short (heap overrun)", "native"),
    ("platform/process_rules.cpp", "memcpy(text + lengthA, b, lengthB + 1);",
     "memcpy(text + lengthA, b, lengthB + 2);", "a candidate name written one byte past", "native"),
    ("platform/process_win32.cpp", "nullptr, nullptr, TRUE, 0, nullptr,",
     "nullptr, nullptr, FALSE, 0, nullptr,", "handles not inherited", "wine"),
    ("platform/process_win32.cpp", "nullptr, nullptr, TRUE, 0, nullptr,",
     "nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,", "a creation flag", "wine"),
    ("platform/process_win32.cpp", "  startup.cb = sizeof startup;\n",
     "  startup.cb = sizeof startup;\n  startup.dwFlags = STARTF_USESHOWWINDOW;\n",
     "a show state requested for the child", "wine"),
    ("platform/process_win32.cpp", "WaitForSingleObject(process.hProcess, INFINITE);",
     "WaitForSingleObject(process.hProcess, 30000);", "a time limit on the wait", "wine"),
    ("platform/process_win32.cpp", "  WaitForSingleObject(process.hProcess, INFINITE);\n", "",
     "no wait for the child", "wine"),
    ("platform/process_win32.cpp", "AreFileApisANSI() ? CP_ACP : CP_OEMCP",
     "AreFileApisANSI() ? CP_OEMCP : CP_ACP", "the other code page for file names", "wine"),
    ("platform/system_win32.cpp", "kSearchSystem32 = 0x00000800;",
     "kSearchSystem32 = 0x00001000;", "DLL search that includes the program's folder", "wine"),
    ("setup/main_win32.cpp", "  RestrictDllSearchToSystemDirectory();\n", "",
     "DLL search not restricted", "wine"),
    ("setup/main_win32.cpp", "int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {\n",
     "int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {\n#ifdef _WIN64\n  return 0;\n#endif\n",
     "an early return in the 64-bit build only (its 32-bit twin is left to scripts/test.sh)", "wine"),
    ("setup/main_win32.cpp", '{"msiexec.exe", "/package",', '{"msiexec.exe", "/i",',
     "wrong switch for the main package", "wine"),
    ("prerequisites/license_manager.cpp", 'arguments.push_back("/passive");',
     'arguments.push_back("/quiet");', "wrong display switch", "wine"),
    ("setup/prerequisite_stage_win32.cpp",
     "  if (licenceChosen) InstallLicenseManager(setupFolder, msiexecPath, true);\n"
     "  if (driverChosen) InstallSystemDriver(setupFolder);\n",
     "  if (driverChosen) InstallSystemDriver(setupFolder);\n"
     "  if (licenceChosen) InstallLicenseManager(setupFolder, msiexecPath, true);\n",
     "driver before licence manager (swapped steps)", "wine"),
    ("setup/prerequisite_stage_win32.cpp", "if (mainPackageExitCode != 0) return;",
     "if (mainPackageExitCode < 0) return;", "prerequisites after a failed main package", "wine"),
    ("setup/prerequisite_stage_win32.cpp", "SystemDriveLetter(ReadSystemDirectory())", '"C"',
     "markers always looked for on C:", "wine"),
    ("prerequisites/installed_products_win32.cpp", "KEY_READ | KEY_WOW64_32KEY",
     "KEY_READ | KEY_WOW64_64KEY", "wrong registry view", "wine"),
    ("prerequisites/installed_products_win32.cpp",
     "RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey",
     "RegOpenKeyExA(HKEY_CURRENT_USER, kUninstallKey", "wrong registry root", "wine"),
    ("setup/setup_sequence.cpp", "executablePath.substr(0, executablePath.rfind('\\\\'))",
     "executablePath.substr(0, executablePath.rfind('\\\\') + 1)",
     "setup folder keeps its backslash (off by one)", "native"),
    ("setup/setup_sequence.cpp", "systemDirectory.substr(0, systemDirectory.find(':'))",
     "systemDirectory.substr(0, systemDirectory.find(':') + 1)",
     "drive letter keeps its colon (off by one)", "native"),
    # Failing calls, handles left open and odd registry data: the fault
    # seam's walk, the odd answers and the lookup's table of hostile values.
    ("platform/process_win32.cpp", "&exitCode)) exitCode = static_cast<DWORD>(-1);",
     "&exitCode)) exitCode = 0;", "an exit code that cannot be read taken as 0", "wine"),
    ("platform/process_win32.cpp", "  bool exists = MultiByteToWideChar(codePage, 0, path, -1, wide, units) != 0;",
     "  bool exists = true;\n  MultiByteToWideChar(codePage, 0, path, -1, wide, units);",
     "a failed path conversion tested all the same", "wine"),
    ("platform/system_win32.cpp", "!setDefault(kSearchSystem32)) SetDllDirectoryA(\"\");",
     "!setDefault(kSearchSystem32)) {}", "no fallback without SetDefaultDllDirectories", "wine"),
    ("platform/process_win32.cpp", "  CloseHandle(process.hThread);\n", "",
     "the child's thread handle left open", "wine"),
    ("platform/files_win32.cpp", "  if (find == INVALID_HANDLE_VALUE) return false;\n  FindClose(find);",
     "  if (find == INVALID_HANDLE_VALUE) return false;", "a find handle left open", "wine"),
    ("prerequisites/installed_products_win32.cpp",
     "  RegCloseKey(subkey);\n  if (status != ERROR_SUCCESS) return false;",
     "  if (status != ERROR_SUCCESS) return false;\n  RegCloseKey(subkey);",
     "a subkey left open after a value that cannot be read", "wine"),
    ("prerequisites/installed_products_win32.cpp", "!installed; ++index)", "; ++index)",
     "the scan goes on past a match", "wine"),
    ("prerequisites/installed_products_win32.cpp", "DWORD size = sizeof data;",
     "DWORD size = sizeof data - 1;", "value buffer one byte short", "wine"),
    ("prerequisites/installed_products_win32.cpp", "if (status != ERROR_SUCCESS) return false;",
     "if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return false;",
     "a value too large for the buffer read cut short", "wine"),
    ("prerequisites/installed_products_win32.cpp", "*displayName = ValueDataAsText(data, size);",
     "*displayName = std::string(data, strnlen(data, sizeof data));",
     "text read past the bytes the query returned", "wine"),
    ("platform/process_win32.cpp", "WaitForSingleObject(process.hProcess, INFINITE);",
     "WaitForSingleObject(process.hThread, INFINITE);",
     "the child's first thread waited for, not the child", "wine"),
    ("platform/files_win32.cpp", "struct _stat64 status;\n  return _stat64(",
     "struct _stat status;\n  return _stat(", "32-bit size in the file-status call", "pe"),
]

# Faults that cannot change what the program does on Windows, so no test can
# kill them; listed so that nobody adds them to the table above.
EQUIVALENT = [
    ("platform/files_win32.cpp", "_stat64 -> _stati64",
     "_stati64 has a 64-bit size too; only the time fields differ, and they are not read"),
]

TESTS = {
    "native": (["native"], ["ctest", "--preset", "native", "-R", "native_tests"]),
    "wine": (["x86_64-shipped", "x86_64"], ["ctest", "--preset", "x86_64", "--stop-on-failure"]),
    "pe": (["i686"], ["ctest", "--preset", "i686", "-R", "setup_exe_headers"]),
}


def Run(command, cwd, log):
    with open(log, "a") as out:
        out.write("$ %s\n" % " ".join(command))
        out.flush()
        return subprocess.run(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode


def CopyTree(scratch):
    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                           capture_output=True).stdout.decode().split("\0")
    for name in filter(None, files):
        target = os.path.join(scratch, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(os.path.join(ROOT, name), target)


def FailedTests(log):
    """The tests ctest listed as failed in the log's last run."""
    with open(log, errors="replace") as out:
        text = out.read().rsplit("$ ctest", 1)[-1]
    failed = [line.split("-", 1)[1].split("(")[0].strip() for line in text.splitlines()
              if line.strip()[:1].isdigit() and " - " in line and "(Failed)" in line]
    return ", ".join(failed) or "a test"


def Verdict(source, kind, log):
    presets, tests = TESTS[kind]
    for preset in presets:
        if Run(["cmake", "--build", "--preset", preset], source, log) != 0:
            return "does not build"
    if Run(tests, source, log) == 0:
        return "survived"
    return "killed by " + FailedTests(log)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--only", help="only the faults whose description holds WORD")
    parser.add_argument("--first", type=int, default=1, metavar="N",
                        help="begin at the table's Nth fault, to resume a run")
    parser.add_argument("--scratch", default=os.path.join(ROOT, "build", "mutants"),
                        help="where the copy of the tree goes (default build/mutants)")
    args = parser.parse_args()
    source = os.path.join(args.scratch, "src")
    log = os.path.join(args.scratch, "log.txt")
    try:
        if os.path.exists(args.scratch):
            shutil.rmtree(args.scratch)
        os.makedirs(source)
    except OSError as error:
        sys.exit("mutation-check.py: cannot make a fresh %s: %s" % (args.scratch, error))
    CopyTree(source)
    mutants = [m for m in MUTANTS[args.first - 1:] if not args.only or args.only in m[3]]
    for preset in sorted({p for m in mutants for p in TESTS[m[4]][0]}):
        if Run(["cmake", "--preset", preset], source, log) != 0:
            sys.exit("mutation-check.py: configure %s failed (see %s)" % (preset, log))
    for kind in sorted({m[4] for m in mutants}):
        if Verdict(source, kind, log) != "survived":
            sys.exit("mutation-check.py: the %s tests fail without any fault (see %s)" % (kind, log))
    killed = 0
    for path, old, new, fault, kind in mutants:
        target = os.path.join(source, path)
        with open(target) as file:
            original = file.read()
        if original.count(old) != 1:
            print("%-60s not applied: its text is not in %s once" % (fault, path))
            continue
        with open(target, "w") as file:
            file.write(original.replace(old, new))
        verdict = Verdict(source, kind, log)
        with open(target, "w") as file:
            file.write(original)
        killed += verdict.startswith("killed")
        print("%-60s %s" % (fault, verdict), flush=True)
    for path, fault, reason in EQUIVALENT:
        print("%-60s equivalent: %s" % (fault, reason))
    print("score: %d of %d killed" % (killed, len(mutants)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
