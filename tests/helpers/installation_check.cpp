// Does what an administrator does with a medium, and checks the outcome
// through Windows' own interfaces, one line per check:
//
//   installation_check.exe typical MEDIUM_FOLDER
//     starts MEDIUM_FOLDER\setup.exe and waits; the main product, the
//     scripting engine (where the medium has one) and the licence manager
//     must then be registered with Windows Installer and listed in the 32-bit
//     uninstall view, both markers must be in their folder and the driver's
//     stand-in must have recorded one run. Then setup.exe starts again and
//     must hand nothing but the main package to msiexec.
//   installation_check.exe failing MEDIUM_FOLDER
//     a medium whose main package fails: nothing after it may be installed
//     or run, and the markers stay as they were.
//
// Product codes are read from the packages themselves. The msiexec runs are
// counted as the processes that setup.exe itself starts, seen through a job
// object: on Windows the installation runs in the Windows Installer service,
// and each msiexec.exe that setup.exe starts is one package handed over.
// Exit code 0 when every check passed, 1 when one failed, 2 on bad usage.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <shlobj.h>
#include <winternl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Medium {
  std::string folder;
  std::string mainPackage, scriptingEngine, licenceManager;  // empty where absent
};

struct Run {
  bool started = false;
  DWORD exitCode = 0;
  int msiexecRuns = 0;  // msiexec.exe processes that setup.exe started
  int unseen = 0;       // processes in the run that ended before they could be opened
};

struct Report {
  int failures = 0;
};

void Check(Report& report, const std::string& what, bool passed, const std::string& detail = "") {
  std::printf("%s: %s%s\n", passed ? "ok" : "FAILED", what.c_str(),
              detail.empty() ? "" : (" (" + detail + ")").c_str());
  if (!passed) ++report.failures;
}

std::string FirstMatch(const std::string& folder, const char* pattern) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\" + pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return std::string();
  FindClose(search);
  return folder + "\\" + found.cFileName;
}

std::string ProductCode(const std::string& package) {
  MSIHANDLE database = 0, view = 0, record = 0;
  std::string code;
  if (MsiOpenDatabaseA(package.c_str(), MSIDBOPEN_READONLY, &database) == ERROR_SUCCESS &&
      MsiDatabaseOpenViewA(database,
                           "SELECT `Value` FROM `Property` WHERE `Property` = 'ProductCode'",
                           &view) == ERROR_SUCCESS &&
      MsiViewExecute(view, 0) == ERROR_SUCCESS && MsiViewFetch(view, &record) == ERROR_SUCCESS) {
    char value[64];
    DWORD length = sizeof value;
    if (MsiRecordGetStringA(record, 1, value, &length) == ERROR_SUCCESS) code = value;
  }
  for (MSIHANDLE handle : {record, view, database}) {
    if (handle) MsiCloseHandle(handle);
  }
  return code;
}

bool Registered(const std::string& code) {
  return !code.empty() && MsiQueryProductStateA(code.c_str()) == INSTALLSTATE_DEFAULT;
}

bool ListedIn32BitView(const std::string& code) {
  std::string key = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + code;
  HKEY entry;
  if (code.empty() || RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0,
                                    KEY_READ | KEY_WOW64_32KEY, &entry) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(entry);
  return true;
}

std::string KnownFolder(int csidl) {
  char path[MAX_PATH];
  return SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path) == S_OK ? path : "";
}

// The version text setup.exe names the markers' folder after.
std::string ProductVersion(const std::string& program) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(program.c_str(), &ignored);
  std::vector<char> data(size);
  char* text = nullptr;
  UINT length = 0;
  if (size == 0 || !GetFileVersionInfoA(program.c_str(), 0, size, data.data()) ||
      !VerQueryValueA(data.data(), "\\StringFileInfo\\040904E4\\ProductVersion",
                      reinterpret_cast<void**>(&text), &length) || length == 0) {
    return std::string();
  }
  return std::string(text, length - 1);
}

std::string MarkerFolder(const Medium& medium) {
  return KnownFolder(CSIDL_PROGRAM_FILESX86) + "\\Brenk\\Installers\\Nerim\\" +
         ProductVersion(medium.folder + "\\setup.exe");
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int DriverRuns() {
  std::string receipt =
      KnownFolder(CSIDL_COMMON_APPDATA) + "\\Sentinel System Driver (sample)\\receipt.txt";
  FILE* file = std::fopen(receipt.c_str(), "rb");
  if (!file) return 0;
  int lines = 0;
  for (int c; (c = std::fgetc(file)) != EOF;) lines += c == '\n';
  std::fclose(file);
  return lines;
}

// The process that started PROCESS, known as long as a handle to it is open,
// even after it has ended.
ULONG_PTR ParentOf(HANDLE process) {
  PROCESS_BASIC_INFORMATION information = {};
  ULONG length = 0;
  if (NtQueryInformationProcess(process, ProcessBasicInformation, &information,
                                sizeof information, &length) != 0) {
    return 0;
  }
  return information.InheritedFromUniqueProcessId;
}

bool IsMsiexec(HANDLE process) {
  char path[MAX_PATH];
  DWORD length = sizeof path;
  if (!QueryFullProcessImageNameA(process, 0, path, &length)) return false;
  const char* name = std::strrchr(path, '\\');
  return lstrcmpiA(name ? name + 1 : path, "msiexec.exe") == 0;
}

// Follows the job until the last process in it has ended. Each new process
// is opened at once, so that it can still be asked its parent and its image
// after it has ended; one that could not be opened is counted as unseen.
void WatchJob(HANDLE port, DWORD setupPid, Run& run) {
  std::vector<HANDLE> processes;
  DWORD message = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED value = nullptr;
  while (GetQueuedCompletionStatus(port, &message, &key, &value, INFINITE) &&
         message != JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) {
    DWORD pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(value));
    if (message != JOB_OBJECT_MSG_NEW_PROCESS || pid == setupPid) continue;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
    if (process) {
      processes.push_back(process);
    } else {
      ++run.unseen;
    }
  }
  for (HANDLE process : processes) {
    run.msiexecRuns += ParentOf(process) == setupPid && IsMsiexec(process);
    CloseHandle(process);
  }
}

Run RunSetup(const Medium& medium) {
  Run run;
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {job, port};
  std::string command = "\"" + medium.folder + "\\setup.exe\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (job && port &&
      SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &association,
                              sizeof association) &&
      CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                     medium.folder.c_str(), &startup, &process)) {
    run.started = AssignProcessToJobObject(job, process.hProcess) != 0;
    ResumeThread(process.hThread);
    if (run.started) WatchJob(port, process.dwProcessId, run);
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  if (port) CloseHandle(port);
  if (job) CloseHandle(job);
  return run;
}

void CheckRun(Report& report, const std::string& which, const Run& run, int expectedMsiexecRuns) {
  Check(report, which + ": setup.exe started and exited with 0", run.started && run.exitCode == 0,
        "exit code " + std::to_string(run.exitCode));
  Check(report, which + ": setup.exe handed " + std::to_string(expectedMsiexecRuns) +
            " package(s) to msiexec",
        run.msiexecRuns == expectedMsiexecRuns && run.unseen == 0,
        std::to_string(run.msiexecRuns) + " seen" +
            (run.unseen ? ", " + std::to_string(run.unseen) + " ended before they could be asked"
                        : ""));
}

void CheckInstalled(Report& report, const std::string& name, const std::string& package) {
  std::string code = ProductCode(package);
  Check(report, name + " is registered with Windows Installer", Registered(code), package);
  Check(report, name + " is listed in the 32-bit uninstall view", ListedIn32BitView(code), code);
}

void CheckNotInstalled(Report& report, const std::string& name, const std::string& package) {
  if (package.empty()) return;
  std::string code = ProductCode(package);
  Check(report, name + " is not registered", !code.empty() && !Registered(code), package);
  Check(report, name + " is not listed", !code.empty() && !ListedIn32BitView(code), code);
}

void Typical(Report& report, const Medium& medium) {
  std::string markers = MarkerFolder(medium);
  int prerequisites = (medium.scriptingEngine.empty() ? 0 : 1) + 1;
  CheckRun(report, "first run", RunSetup(medium), 1 + prerequisites);
  CheckInstalled(report, "the main product", medium.mainPackage);
  if (!medium.scriptingEngine.empty()) CheckInstalled(report, "the scripting engine", medium.scriptingEngine);
  CheckInstalled(report, "the licence manager", medium.licenceManager);
  Check(report, "the marker optLS is in its folder", Exists(markers + "\\optLS"), markers);
  Check(report, "the marker optDD is in its folder", Exists(markers + "\\optDD"), markers);
  Check(report, "the driver's installer ran once", DriverRuns() == 1, std::to_string(DriverRuns()) + " runs");
  CheckRun(report, "second run", RunSetup(medium), 1);
  CheckInstalled(report, "the licence manager", medium.licenceManager);
  Check(report, "the driver's installer ran again", DriverRuns() == 2, std::to_string(DriverRuns()) + " runs");
}

void Failing(Report& report, const Medium& medium) {
  std::string markers = MarkerFolder(medium);
  bool hadLS = Exists(markers + "\\optLS"), hadDD = Exists(markers + "\\optDD");
  int driverRuns = DriverRuns();
  CheckRun(report, "the run", RunSetup(medium), 1);
  CheckNotInstalled(report, "the main product", medium.mainPackage);
  CheckNotInstalled(report, "the scripting engine", medium.scriptingEngine);
  CheckNotInstalled(report, "the licence manager", medium.licenceManager);
  Check(report, "the driver's installer did not run", DriverRuns() == driverRuns);
  Check(report, "the markers are as they were",
        Exists(markers + "\\optLS") == hadLS && Exists(markers + "\\optDD") == hadDD, markers);
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = argc == 3 ? argv[1] : "";
  if (mode != "typical" && mode != "failing") {
    std::fprintf(stderr, "usage: installation_check.exe typical|failing MEDIUM_FOLDER\n");
    return 2;
  }
  char full[MAX_PATH];
  DWORD length = GetFullPathNameA(argv[2], sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) return 2;
  Report report;
  Medium medium;
  medium.folder = full;
  medium.mainPackage = FirstMatch(medium.folder, "NerimInstaller.msi_");
  medium.scriptingEngine = FirstMatch(medium.folder, "ISScript10.Msi");
  medium.licenceManager = FirstMatch(medium.folder, "SentinelRMSLicenseManager*.msi");
  Check(report, "the medium has its packages", !medium.mainPackage.empty() && !medium.licenceManager.empty(),
        medium.folder);
  if (report.failures == 0) mode == "typical" ? Typical(report, medium) : Failing(report, medium);
  std::printf("%s: %d check(s) failed\n", report.failures ? "FAILED" : "passed", report.failures);
  return report.failures ? 1 : 0;
}
