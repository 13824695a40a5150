// IsLicenseManagerInstalled against real keys in the prefix's registry.
#include <windows.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "prerequisites/installed_products.h"
#include "test_support.h"

namespace {

const REGSAM k32 = KEY_WOW64_32KEY, k64 = KEY_WOW64_64KEY;
const char kVersion[] = "8.1.1-nerimtest";

struct Entry {
  REGSAM view;
  std::string subkey;     // below the uninstall key
  DWORD type;             // REG_NONE: the subkey has no DisplayName
  std::string data;       // stored byte for byte, NULs included
};

void AddEntry(const Entry& entry) {
  AddUninstallEntry(entry.view, entry.subkey, entry.type, entry.data);
}

void RemoveEntry(const Entry& entry) { RemoveUninstallEntry(entry.view, entry.subkey); }

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
