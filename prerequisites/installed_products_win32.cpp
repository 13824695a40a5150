#include <windows.h>

#include <string>

#include "prerequisites/installed_products.h"

namespace {

// Always the 32-bit view, also from a 64-bit process and on 64-bit Windows.
const REGSAM kAccess = KEY_READ | KEY_WOW64_32KEY;

// The display name of one installed program; false when the subkey or its
// value cannot be read or does not fit the buffer.
bool ReadDisplayName(const std::string& subkeyName, std::string* displayName) {
  std::string path;
  if (!UninstallSubkeyPath(subkeyName, &path)) return false;
  HKEY subkey;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, kAccess, &subkey) != ERROR_SUCCESS) {
    return false;
  }
  char data[kRegistryTextSize];
  DWORD size = sizeof data;
  // Whatever the value's type, its bytes are read as text.
  LONG status = RegQueryValueExA(subkey, "DisplayName", nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(subkey);
  if (status != ERROR_SUCCESS) return false;
  *displayName = ValueDataAsText(data, size);
  return true;
}

}  // namespace

bool IsLicenseManagerInstalled(const std::string& version) {
  HKEY uninstall;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, kAccess, &uninstall) != ERROR_SUCCESS) {
    return false;
  }
  bool installed = false;
  for (DWORD index = 0; !installed; ++index) {
    char name[kRegistryTextSize];
    DWORD nameLength = sizeof name;
    // Any failure ends the scan, not only ERROR_NO_MORE_ITEMS.
    if (RegEnumKeyExA(uninstall, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    std::string displayName;
    installed = ReadDisplayName(std::string(name, nameLength), &displayName) &&
                DisplayNameMatches(displayName, version);
  }
  RegCloseKey(uninstall);
  return installed;
}
