// Stands in for msiexec.exe and the vendors' installers in tests.
//
// Appends one line to the file named by RECORD_LOG, after sleeping
// RECORD_SLEEP_MS milliseconds (so a caller that did not wait sees nothing):
//   <own file name>|<current directory>|<command line exactly as received>|<alone or overlap>|<start-up>
// "overlap" means another recorder was running when this one started. The
// start-up field reads "console=C,priority=P,flags=F,show=S,handle=H":
// whether it has a console, its priority class, the start-up information's
// dwFlags and wShowWindow, and whether the signalled event whose handle value
// (hexadecimal) the parent put in RECORD_HANDLE reached this process
// ("inherited", "missing", or "none" without RECORD_HANDLE). Then it exits
// with RECORD_EXIT (decimal, or 0x... for codes above 2^31). With
// RECORD_FIRST_THREAD_ENDS=1 all of this happens on a second thread, and the
// first one ends at once: the process outlives its first thread.
#include <windows.h>

#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

std::string Variable(const char* name) {
  char value[4096];
  DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  if (length == 0 || length >= sizeof value) return std::string();
  return std::string(value, length);
}

std::string OwnFileName() {
  char path[MAX_PATH * 4];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return "?";
  const char* name = strrchr(path, '\\');
  return name != nullptr ? name + 1 : path;
}

std::string CurrentDirectory() {
  char path[MAX_PATH * 4];
  DWORD length = GetCurrentDirectoryA(sizeof path, path);
  if (length == 0 || length >= sizeof path) return "?";
  return std::string(path, length);
}

std::string StartupReport() {
  STARTUPINFOA startup;
  GetStartupInfoA(&startup);
  std::string handle = "none";
  std::string value = Variable("RECORD_HANDLE");
  if (!value.empty()) {
    // A handle number the child happens to use for something else is not a
    // signalled event, so only the parent's own event counts.
    HANDLE event = reinterpret_cast<HANDLE>(
        static_cast<uintptr_t>(strtoull(value.c_str(), nullptr, 16)));
    handle = WaitForSingleObject(event, 0) == WAIT_OBJECT_0 ? "inherited" : "missing";
  }
  return std::string("console=") + (GetConsoleCP() != 0 ? "yes" : "no") +
         ",priority=" + std::to_string(GetPriorityClass(GetCurrentProcess())) +
         ",flags=" + std::to_string(startup.dwFlags) +
         ",show=" + std::to_string(startup.wShowWindow) + ",handle=" + handle;
}

void AppendLine(const std::string& logPath, const std::string& line) {
  HANDLE log = CreateFileA(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(log);
}

}  // namespace

DWORD WINAPI Record(void*) {
  // Kept open until exit, so a recorder started meanwhile finds it.
  HANDLE running = CreateMutexA(nullptr, FALSE, "Local\\nerim-recorder-running");
  bool overlap = running != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
  std::string sleepMs = Variable("RECORD_SLEEP_MS");
  if (!sleepMs.empty()) Sleep(strtoul(sleepMs.c_str(), nullptr, 10));
  std::string logPath = Variable("RECORD_LOG");
  if (!logPath.empty()) {
    AppendLine(logPath, OwnFileName() + "|" + CurrentDirectory() + "|" + GetCommandLineA() + "|" +
                           (overlap ? "overlap" : "alone") + "|" + StartupReport() + "\n");
  }
  std::string exitCode = Variable("RECORD_EXIT");
  ExitProcess(static_cast<UINT>(strtoull(exitCode.c_str(), nullptr, 0)));
}

int main() {
  if (Variable("RECORD_FIRST_THREAD_ENDS") == "1" &&
      CreateThread(nullptr, 0, Record, nullptr, 0, nullptr) != nullptr) {
    ExitThread(0);
  }
  return static_cast<int>(Record(nullptr));
}
