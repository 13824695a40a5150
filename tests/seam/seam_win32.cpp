// The seam behind tests/seam/seam.h. NERIM_SEAM="Name#N=VALUE" makes the Nth
// call of Name fail: VALUE is the error it reports (a Win32 error code, an
// errno value for _stat64), or an odd answer instead of a failure:
//   toolong    GetSystemDirectoryA: the size a longer directory would need
//   truncated  GetModuleFileNameA: the buffer filled to its end, without NUL
//   moredata   RegEnumKeyExA, RegQueryValueExA: ERROR_MORE_DATA (the value's
//              part that fits in the buffer)
// GetProcAddress's failure is a missing export. At exit, every call is
// written to the file NERIM_SEAM_REPORT, one a line ("Name#N", "Name#N failed"
// for the planted one), then "open N": the processes, threads, find handles
// and registry keys opened and not closed.
//
// Unlike the program, a seam needs state that lives across calls; it is all
// in one place here, in the test build only.
#include <windows.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#define NERIM_SEAM_ITSELF
#include "tests/seam/seam.h"

namespace {

struct State {
  std::string fault;  // "Name#N"
  std::string value;
  std::map<std::string, int> counts;
  std::vector<std::string> calls;
  std::set<void*> open;
};

State* state = nullptr;

void WriteReport() {
  char path[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("NERIM_SEAM_REPORT", path, sizeof path);
  if (length == 0 || length >= sizeof path) return;
  FILE* report = fopen(path, "wb");
  if (report == nullptr) return;
  for (const std::string& call : state->calls) fprintf(report, "%s\n", call.c_str());
  fprintf(report, "open %u\n", static_cast<unsigned>(state->open.size()));
  fclose(report);
}

State& Seam() {
  if (state == nullptr) {
    state = new State;  // lives until the report is written at exit
    char text[256];
    DWORD length = GetEnvironmentVariableA("NERIM_SEAM", text, sizeof text);
    if (length > 0 && length < sizeof text) {
      std::string setting(text, length);
      size_t equals = setting.find('=');
      state->fault = setting.substr(0, equals);
      if (equals != std::string::npos) state->value = setting.substr(equals + 1);
    }
    atexit(WriteReport);
  }
  return *state;
}

// Counts a call of NAME; true when it is the one to fail.
bool Fails(const char* name) {
  State& seam = Seam();
  std::string call = std::string(name) + "#" + std::to_string(++seam.counts[name]);
  bool fails = call == seam.fault;
  seam.calls.push_back(fails ? call + " failed" : call);
  return fails;
}

bool OddAnswer(const char* word) { return Seam().value == word; }

// The planted error as a number: what GetLastError, errno or a registry call says.
unsigned long PlantedError() {
  unsigned long error = strtoul(Seam().value.c_str(), nullptr, 0);
  return error != 0 ? error : ERROR_ACCESS_DENIED;
}

template <typename T>
T FailWith(T result) {
  SetLastError(PlantedError());
  return result;
}

void Opened(void* handle) { Seam().open.insert(handle); }
void Closed(void* handle) { Seam().open.erase(handle); }

BOOL WINAPI SeamSetDefaultDllDirectories(DWORD flags) {
  if (Fails("SetDefaultDllDirectories")) return FailWith<BOOL>(FALSE);
  typedef BOOL(WINAPI * Function)(DWORD);
  Function real = reinterpret_cast<Function>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
  return real != nullptr && real(flags);
}

}  // namespace

UINT Seam_GetSystemDirectoryA(LPSTR buffer, UINT size) {
  if (!Fails("GetSystemDirectoryA")) return GetSystemDirectoryA(buffer, size);
  return OddAnswer("toolong") ? size + 40 : FailWith<UINT>(0);
}

DWORD Seam_GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  if (!Fails("GetModuleFileNameA")) return GetModuleFileNameA(module, buffer, size);
  if (!OddAnswer("truncated")) return FailWith<DWORD>(0);
  memset(buffer, 'x', size);
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

HMODULE Seam_GetModuleHandleA(LPCSTR name) {
  return Fails("GetModuleHandleA") ? FailWith<HMODULE>(nullptr) : GetModuleHandleA(name);
}

FARPROC Seam_GetProcAddress(HMODULE module, LPCSTR name) {
  if (Fails("GetProcAddress")) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  FARPROC found = GetProcAddress(module, name);
  if (found == nullptr || strcmp(name, "SetDefaultDllDirectories") != 0) return found;
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(SeamSetDefaultDllDirectories));
}

BOOL Seam_SetDllDirectoryA(LPCSTR path) {
  return Fails("SetDllDirectoryA") ? FailWith<BOOL>(FALSE) : SetDllDirectoryA(path);
}

// A failed conversion may leave anything in the buffer; here the name of a
// folder that exists, which a caller must not go on to test.
int Seam_MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH text, int bytes, LPWSTR wide,
                             int units) {
  if (!Fails("MultiByteToWideChar")) {
    return MultiByteToWideChar(codePage, flags, text, bytes, wide, units);
  }
  if (wide != nullptr && units >= 4) wcscpy(wide, L"C:\\");
  return FailWith(0);
}

BOOL Seam_GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data) {
  if (Fails("GetFileAttributesExW")) return FailWith<BOOL>(FALSE);
  return GetFileAttributesExW(path, level, data);
}

BOOL Seam_CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES process,
                         LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                         LPVOID environment, LPCSTR directory, LPSTARTUPINFOA startup,
                         LPPROCESS_INFORMATION information) {
  if (Fails("CreateProcessA")) return FailWith<BOOL>(FALSE);
  BOOL started = CreateProcessA(application, commandLine, process, thread, inherit, flags,
                                environment, directory, startup, information);
  if (started) {
    Opened(information->hProcess);
    Opened(information->hThread);
  }
  return started;
}

DWORD Seam_WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (Fails("WaitForSingleObject")) return FailWith<DWORD>(WAIT_FAILED);
  return WaitForSingleObject(handle, milliseconds);
}

BOOL Seam_GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  if (Fails("GetExitCodeProcess")) return FailWith<BOOL>(FALSE);
  return GetExitCodeProcess(process, exitCode);
}

// Closing is never failed: a handle the program meant to close must be gone.
BOOL Seam_CloseHandle(HANDLE handle) {
  Fails("CloseHandle");
  Closed(handle);
  return CloseHandle(handle);
}

HANDLE Seam_FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA entry) {
  if (Fails("FindFirstFileA")) return FailWith(INVALID_HANDLE_VALUE);
  HANDLE find = FindFirstFileA(pattern, entry);
  if (find != INVALID_HANDLE_VALUE) Opened(find);
  return find;
}

BOOL Seam_FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA entry) {
  return Fails("FindNextFileA") ? FailWith<BOOL>(FALSE) : FindNextFileA(find, entry);
}

BOOL Seam_FindClose(HANDLE find) {
  Fails("FindClose");
  Closed(find);
  return FindClose(find);
}

int Seam_stat64(const char* path, struct _stat64* status) {
  if (!Fails("_stat64")) return _stat64(path, status);
  errno = static_cast<int>(strtol(Seam().value.c_str(), nullptr, 0));
  if (errno == 0) errno = EACCES;
  return -1;
}

LONG Seam_RegOpenKeyExA(HKEY parent, LPCSTR path, DWORD options, REGSAM access, PHKEY key) {
  if (Fails("RegOpenKeyExA")) return static_cast<LONG>(PlantedError());
  LONG status = RegOpenKeyExA(parent, path, options, access, key);
  if (status == ERROR_SUCCESS) Opened(*key);
  return status;
}

LONG Seam_RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                        LPSTR className, LPDWORD classLength, PFILETIME written) {
  if (!Fails("RegEnumKeyExA")) {
    return RegEnumKeyExA(key, index, name, nameLength, reserved, className, classLength, written);
  }
  return OddAnswer("moredata") ? ERROR_MORE_DATA : static_cast<LONG>(PlantedError());
}

LONG Seam_RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                           LPDWORD size) {
  if (!Fails("RegQueryValueExA")) return RegQueryValueExA(key, name, reserved, type, data, size);
  if (!OddAnswer("moredata")) return static_cast<LONG>(PlantedError());
  // A value that grew past the buffer: what lies in it is only a part.
  RegQueryValueExA(key, name, reserved, type, data, size);
  if (size != nullptr) *size += 1;
  return ERROR_MORE_DATA;
}

LONG Seam_RegCloseKey(HKEY key) {
  Fails("RegCloseKey");
  Closed(key);
  return RegCloseKey(key);
}
