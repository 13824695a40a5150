#include "platform/process.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/process_rules.h"

namespace {

// The existence test: a file or a directory, whatever its rights. The narrow
// path is widened with the code page the narrow file functions use.
bool Exists(const char* path) {
  UINT codePage = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  int units = MultiByteToWideChar(codePage, 0, path, -1, nullptr, 0);
  if (units == 0) {
    errno = ErrnoFromWin32Error(GetLastError());
    return false;
  }
  wchar_t* wide = static_cast<wchar_t*>(malloc(units * sizeof(wchar_t)));
  if (wide == nullptr) {
    errno = ENOMEM;
    return false;
  }
  // A conversion that fails leaves the buffer unwritten: no path to test.
  bool exists = MultiByteToWideChar(codePage, 0, path, -1, wide, units) != 0;
  WIN32_FILE_ATTRIBUTE_DATA data;
  exists = exists && GetFileAttributesExW(wide, GetFileExInfoStandard, &data) != 0;
  if (!exists) errno = ErrnoFromWin32Error(GetLastError());
  free(wide);
  return exists;
}

// The first of path + ".com", ".exe", ".bat", ".cmd" that exists. When one
// does, errno is left as it was before the search, untouched by the failed
// tests before it; when none does, it is what the ".cmd" test left.
char* FindWithExtension(const char* path) {
  int savedErrno = errno;
  for (const char* extension : kExecutableExtensions) {
    char* candidate = NewConcatenation(path, extension);
    if (candidate == nullptr) return nullptr;
    if (Exists(candidate)) {
      errno = savedErrno;
      return candidate;
    }
    free(candidate);
  }
  return nullptr;
}

// The file to start, in a malloc'd buffer, or nullptr with errno set. A bare
// name is made relative to the current directory so that neither PATH nor the
// system directory is ever searched.
char* ResolveProgram(const char* programPath) {
  char* path = NewConcatenation(IsBareName(programPath) ? ".\\" : "", programPath);
  if (path == nullptr) return nullptr;
  if (!HasExtension(path)) {
    char* found = FindWithExtension(path);
    free(path);
    return found;
  }
  if (Exists(path)) return path;
  free(path);
  return nullptr;
}

int StartAndWait(const char* program, char* commandLine) {
  STARTUPINFOA startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(program, commandLine, nullptr, nullptr, TRUE, 0, nullptr,
                      nullptr, &startup, &process)) {
    errno = ErrnoFromWin32Error(GetLastError());
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  // Never 0 when the code cannot be read: 0 is what lets the prerequisites run.
  DWORD exitCode = static_cast<DWORD>(-1);
  if (!GetExitCodeProcess(process.hProcess, &exitCode)) exitCode = static_cast<DWORD>(-1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(exitCode);
}

}  // namespace

int RunAndWait(const char* programPath, const char* const* argv) {
  if (programPath == nullptr || *programPath == '\0' || argv == nullptr ||
      argv[0] == nullptr || *argv[0] == '\0') {
    errno = EINVAL;
    return -1;
  }
  char* program = ResolveProgram(programPath);
  if (program == nullptr) return -1;
  char* commandLine = NewCommandLine(argv);
  if (commandLine == nullptr) {
    free(program);
    return -1;
  }
  int result = StartAndWait(program, commandLine);
  free(commandLine);
  free(program);
  return result;
}

int RunAndWait(const std::string& programPath, const std::vector<std::string>& arguments) {
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  return RunAndWait(programPath.c_str(), argv.data());
}
