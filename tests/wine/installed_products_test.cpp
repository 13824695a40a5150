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
      // The buffer holds 1024 bytes: a name that needs exactly that fits, one
      // that needs a byte more is skipped whole, never read cut short.
      {"DisplayName of exactly 1024 bytes with its NUL",
       {{k32, "NerimTest1", REG_SZ, Sz(kName + std::string(1023 - kName.size(), ' '))}}, true},
      {"DisplayName one byte over the buffer is skipped",
       {{k32, "NerimTest1", REG_SZ, Sz(kName + std::string(1024 - kName.size(), ' '))}}, false},
      {"DisplayName one byte over, then a matching one",
       {{k32, "NerimTest0", REG_SZ, Sz(kName + std::string(1024 - kName.size(), ' '))},
        {k32, "NerimTest1", REG_SZ, Sz(kName)}},
       true},
      // Only the bytes the query returned are text: read past them, the
      // longer value before would complete "Sentinel RMS" into a match.
      {"value without NUL after a longer one",
       {{k32, "NerimTest0", REG_SZ, Sz(std::string(12, 'x') + kName.substr(12))},
        {k32, "NerimTest1", REG_BINARY, kName.substr(0, 12)}},
       false},
      {"REG_EXPAND_SZ read as text", {{k32, "NerimTest1", REG_EXPAND_SZ, Sz(kName)}}, true},
      {"REG_DWORD", {{k32, "NerimTest1", REG_DWORD, std::string(4, '\x01')}}, false},
      {"empty DisplayName, then a matching one",
       {{k32, "NerimTest0", REG_SZ, ""}, {k32, "NerimTest1", REG_SZ, Sz(kName)}}, true},
      {"a match stays one whatever follows",
       {{k32, "NerimTest0", REG_SZ, Sz(kName)}, {k32, "NerimTest1", REG_SZ, Sz("Other 8.1.1")},
        {k32, "NerimTest2", REG_NONE, ""}, {k32, "NerimTest3", REG_SZ, Sz("")}},
       true},
  };
  for (const Case& c : cases) {
    for (const Entry& entry : c.entries) AddEntry(entry);
    EXPECT_EQ(c.installed, IsLicenseManagerInstalled(kVersion)) << c.what;
    for (const Entry& entry : c.entries) RemoveEntry(entry);
  }
}

}  // namespace
