#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "prerequisites/installed_products.h"
#include "prerequisites/license_manager.h"
#include "prerequisites/system_driver.h"

namespace {

using Cases = std::vector<std::pair<std::string, std::string>>;

TEST(LicenseManager, VersionIsCutAtFirstCaseSensitiveMsi) {
  const Cases cases = {
      {"SentinelRMSLicenseManager1.2.3.msi", "1.2.3"},
      {"SentinelRMSLicenseManager.msi", ""},
      {"SentinelRMSLicenseManager1.2.3.MSI", "1.2.3.MSI"},
      {"SentinelRMSLicenseManager1.2.3.msi.msi", "1.2.3"},
      {"SentinelRMSLicenseManager1.msix.msi", "1"},
      {"sentinelrmslicensemanager9.7.0.msi", "9.7.0"},
      {"SentinelRMSLicenseManager", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, LicenseManagerVersion(c.first)) << c.first;
}

TEST(LicenseManager, PatternAndScriptingEngineSitInTheSetupFolder) {
  EXPECT_EQ("D:\\SentinelRMSLicenseManager*.msi", LicenseManagerPattern("D:"));
  EXPECT_EQ("D:\\\\SentinelRMSLicenseManager*.msi", LicenseManagerPattern("D:\\"));
  EXPECT_EQ("D:\\My Media\\ISScript10.Msi", ScriptingEnginePath("D:\\My Media"));
}

TEST(LicenseManager, MsiexecArgumentsQuoteThePath) {
  using Args = std::vector<std::string>;
  EXPECT_EQ((Args{"msiexec.exe", "/i", "\"D:\\a b\\p.msi\"", "/passive"}),
            MsiexecInstallArguments("D:\\a b\\p.msi", true));
  EXPECT_EQ((Args{"msiexec.exe", "/i", "\"D:\\p.msi\""}), MsiexecInstallArguments("D:\\p.msi", false));
}

TEST(InstalledProducts, DisplayNameHoldsBothWordsAndVersion) {
  struct Case {
    const char* displayName;
    const char* version;
    bool matches;
  };
  const Case cases[] = {
      {"Sentinel RMS License Manager 9.7.0", "9.7.0", true},
      {"9.7.0 License Manager (Sentinel)", "9.7.0", true},
      {"Sentinel RMS License Manager 9.7.0", "9.7", true},
      {"Sentinel RMS License Manager 19.7.01", "9.7.0", true},
      {"Sentinel RMS License Manager 9.7.1", "9.7.0", false},
      {"sentinel RMS License Manager 9.7.0", "9.7.0", false},
      {"Sentinel RMS license manager 9.7.0", "9.7.0", false},
      {"Sentinel RMS Server 9.7.0", "9.7.0", false},
      {"Sentinel License Manager", "", true},
      {"License Manager", "", false},
      // The version may overlap the words.
      {"Sentinel License Manager", "Manager", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.matches, DisplayNameMatches(c.displayName, c.version)) << c.displayName;
  }
}

TEST(InstalledProducts, ValueDataEndsAtNulOrAtTheBytesReturned) {
  const char terminated[] = "Sentinel\0junk";
  EXPECT_EQ("Sentinel", ValueDataAsText(terminated, sizeof terminated));
  const char unterminated[] = {'a', 'b', 'c', 'X', 'Y'};
  EXPECT_EQ("abc", ValueDataAsText(unterminated, 3));
  EXPECT_EQ("", ValueDataAsText(unterminated, 0));
}

TEST(InstalledProducts, SubkeyPathNeverOutgrowsItsBuffer) {
  std::string path;
  ASSERT_TRUE(UninstallSubkeyPath("{GUID}", &path));
  EXPECT_EQ("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{GUID}", path);
  // 51 + 1 + name + NUL must fit 1024 bytes.
  EXPECT_TRUE(UninstallSubkeyPath(std::string(971, 'n'), &path));
  EXPECT_EQ(1023u, path.size());
  EXPECT_FALSE(UninstallSubkeyPath(std::string(972, 'n'), &path));
}

TEST(SystemDriver, InstallerPathGetsOneBackslash) {
  const Cases cases = {
      {"D:", "D:\\SentinelSystemDriverInstaller7.5.8.exe"},
      {"D:\\", "D:\\SentinelSystemDriverInstaller7.5.8.exe"},
      {"D:\\My Media", "D:\\My Media\\SentinelSystemDriverInstaller7.5.8.exe"},
      {"", "SentinelSystemDriverInstaller7.5.8.exe"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, SystemDriverInstallerPath(c.first)) << c.first;
}

}  // namespace
