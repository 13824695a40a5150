// IsLicenseManagerInstalled against real keys in the prefix's registry.
#include <windows.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "prerequisites/installed_products.h"

namespace {

const REGSAM k32 = KEY_WOW64_32KEY, k64 = KEY_WOW64_64KEY;
const char kVersion[] = "8.1.1-nerimtest";

struct Entry {
  REGSAM view;
  std::string subkey;     // below the uninstall key
  DWORD type;             // REG_NONE: the subkey has no DisplayName
  std::string data;       // stored byte for byte, NULs included
};

std::string UninstallPath(const std::string& subkey) {
  return std::string(kUninstallKey) + "\\" + subkey;
}

void AddEntry(const Entry& entry) {
  HKEY key;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, UninstallPath(entry.subkey).c_str(),
                                           0, nullptr, 0, KEY_WRITE | entry.view, nullptr, &key,
                                           nullptr));
  RegSetValueExA(key, "Publisher", 0, REG_SZ, reinterpret_cast<const BYTE*>("Test"), 5);
  if (entry.type != REG_NONE) {
    RegSetValueExA(key, "DisplayName", 0, entry.type,
                   reinterpret_cast<const BYTE*>(entry.data.data()),
                   static_cast<DWORD>(entry.data.size()));
  }
  RegCloseKey(key);
}

void RemoveEntry(const Entry& entry) {
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, UninstallPath(entry.subkey).c_str(), entry.view, 0);
}

std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

const std::string kName = std::string("Sentinel RMS License Manager ") + kVersion;

struct Case {
  const char* what;
  std::vector<Entry> entries;
  bool installed;
};

TEST(IsLicenseManagerInstalled, AgainstRealUninstallKeys) {
  const std::vector<Case> cases = {
      {"matching name in the 32-bit view", {{k32, "NerimTest1", REG_SZ, Sz(kName)}}, true},
      {"matching name only in the 64-bit view", {{k64, "NerimTest1", REG_SZ, Sz(kName)}}, false},
      {"no such program", {{k32, "NerimTest1", REG_SZ, Sz("Other 8.1.1")}}, false},
      {"words in another letter case",
       {{k32, "NerimTest1", REG_SZ, Sz(std::string("sentinel RMS license manager ") + kVersion)}},
       false},
      {"subkey without DisplayName before a matching one",
       {{k32, "NerimTest0", REG_NONE, ""}, {k32, "NerimTest1", REG_SZ, Sz(kName)}},
       true},
      {"DisplayName over 1024 bytes is skipped",
       {{k32, "NerimTest1", REG_SZ, Sz(kName + std::string(1100, ' '))}}, false},
      {"over-long DisplayName, then a matching one",
       {{k32, "NerimTest0", REG_SZ, Sz(kName + std::string(1100, ' '))},
        {k32, "NerimTest1", REG_SZ, Sz(kName)}},
       true},
      {"value of another type read as text", {{k32, "NerimTest1", REG_BINARY, kName}}, true},
      {"text ends at the first NUL",
       {{k32, "NerimTest1", REG_MULTI_SZ, Sz("x") + Sz(kName) + Sz("")}}, false},
  };
  for (const Case& c : cases) {
    for (const Entry& entry : c.entries) AddEntry(entry);
    EXPECT_EQ(c.installed, IsLicenseManagerInstalled(kVersion)) << c.what;
    for (const Entry& entry : c.entries) RemoveEntry(entry);
  }
}

}  // namespace
