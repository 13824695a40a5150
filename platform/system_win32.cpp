#include "platform/system.h"

#include <windows.h>

#include <vector>

std::string ReadSystemDirectory() {
  char buffer[MAX_PATH];
  UINT length = GetSystemDirectoryA(buffer, MAX_PATH);
  // A result of MAX_PATH or more is the size the directory would have needed.
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(buffer, length);
}

bool ReadModulePath(void* instance, std::string* path) {
  // Past 32767 characters no Windows path exists; stop growing there.
  const DWORD kLargestBuffer = 65536;
  std::vector<char> buffer(MAX_PATH);
  while (true) {
    DWORD size = static_cast<DWORD>(buffer.size());
    DWORD length = GetModuleFileNameA(static_cast<HMODULE>(instance), buffer.data(), size);
    if (length == 0) return false;
    // length == size means truncated, and then the text may lack its NUL.
    if (length < size) {
      path->assign(buffer.data(), length);
      return true;
    }
    if (size >= kLargestBuffer) return false;
    buffer.resize(size * 2);
  }
}

void RestrictDllSearchToSystemDirectory() {
  // SetDefaultDllDirectories came with an update to Windows 7 and is missing
  // from a plain Windows Vista, so it is looked up rather than imported.
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  SetDefaultDllDirectoriesFn setDefault = nullptr;
  if (kernel32 != nullptr) {
    setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  }
  const DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
  if (setDefault == nullptr || !setDefault(kSearchSystem32)) SetDllDirectoryA("");
}
