#include "setup/setup_sequence.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

using Cases = std::vector<std::pair<std::string, std::string>>;

TEST(SetupSequence, SystemDriveLetterIsTextBeforeFirstColon) {
  const Cases cases = {{"C:\\Windows\\system32", "C"}, {"D:\\WINNT\\system32", "D"},
                       {"nocolon", "nocolon"},       {":\\x", ""},
                       {"", ""},                     {"AB:C:D", "AB"}};
  for (const auto& c : cases) EXPECT_EQ(c.second, SystemDriveLetter(c.first)) << c.first;
}

TEST(SetupSequence, SetupFolderIsTextBeforeLastBackslash) {
  const Cases cases = {{"D:\\setup.exe", "D:"},
                       {"D:\\Media\\Disk1\\setup.exe", "D:\\Media\\Disk1"},
                       {"C:\\My Media\\setup.exe", "C:\\My Media"},
                       {"setup.exe", "setup.exe"},
                       {"\\\\server\\share\\setup.exe", "\\\\server\\share"}};
  for (const auto& c : cases) EXPECT_EQ(c.second, SetupFolder(c.first)) << c.first;
}

TEST(SetupSequence, MsiexecLivesInTheSystemDirectoryItself) {
  const Cases cases = {{"C:\\windows\\system32", "C:\\windows\\system32\\msiexec.exe"},
                       {"D:\\WINNT\\system32", "D:\\WINNT\\system32\\msiexec.exe"},
                       {"", ""}};
  for (const auto& c : cases) EXPECT_EQ(c.second, MsiexecPath(c.first)) << c.first;
}

#define NERIM_QUOTE(x) #x
#define NERIM_STRING(x) NERIM_QUOTE(x)

// The numbers joined as the build's version text spells them.
TEST(SetupSequence, ProductVersionText) {
  EXPECT_EQ(NERIM_STRING(NERIM_VERSION_TEXT), ProductVersionText());
}

TEST(SetupSequence, MainPackageArgumentIsQuotedPath) {
  const Cases cases = {{"D:", "\"D:\\NerimInstaller.msi_\""},
                       {"D:\\My Media", "\"D:\\My Media\\NerimInstaller.msi_\""}};
  for (const auto& c : cases) EXPECT_EQ(c.second, MainPackageArgument(c.first)) << c.first;
}

}  // namespace
