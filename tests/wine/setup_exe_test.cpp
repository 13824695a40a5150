// The built setup.exe, started from a medium folder, with a recording
// stand-in in place of the system's msiexec.exe.
#include <windows.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "setup/setup_sequence.h"
#include "test_support.h"

namespace {

class SetupExe : public MsiexecRestoringTest {};

TEST_F(SetupExe, HandsTheMainPackageToMsiexecAndIgnoresItsArguments) {
  ReplaceMsiexec(true);
  Medium medium = PrepareMedium("setup-args", 0);
  const std::string quoted = "\"" + medium.setupExe + "\"";
  const std::vector<std::string> commandLines = {quoted, quoted + " /quiet /i other.msi",
                                                 quoted + " \"C:\\else where\""};
  for (const std::string& commandLine : commandLines) {
    DeleteFileA(medium.log.c_str());
    EXPECT_EQ(0, RunDirectly(medium.setupExe, commandLine)) << commandLine;
    std::vector<Recorded> records = ReadRecords(medium.log);
    ASSERT_EQ(1u, records.size()) << commandLine;
    EXPECT_EQ("msiexec.exe", records[0].program);
    EXPECT_EQ("msiexec.exe /package \"" + medium.folder + "\\NerimInstaller.msi_\"",
              records[0].commandLine);
  }
}

// Read as Explorer reads it: the version in the resource is the one the
// program composes, so the markers are looked for under the version shown.
TEST_F(SetupExe, VersionResourceShowsTheVersionItComposes) {
  std::string exe = ShippedSetupExe();
  std::vector<char> data(GetFileVersionInfoSizeA(exe.c_str(), nullptr));
  ASSERT_FALSE(data.empty());
  ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
  for (const char* name : {"FileVersion", "ProductVersion"}) {
    char* text = nullptr;
    UINT length = 0;
    std::string key = std::string("\\StringFileInfo\\040904E4\\") + name;
    ASSERT_TRUE(VerQueryValueA(data.data(), key.c_str(), reinterpret_cast<void**>(&text), &length));
    EXPECT_EQ(ProductVersionText(), std::string(text)) << name;
  }
}

}  // namespace
