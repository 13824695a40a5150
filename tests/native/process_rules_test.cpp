#include "platform/process_rules.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

// The buffer is exactly as long as the text and its NUL, so ASan reports a
// write past it.
std::string Join(std::vector<const char*> argv) {
  argv.push_back(nullptr);
  char* text = NewCommandLine(argv.data());
  std::string out = text != nullptr ? text : "(no memory)";
  free(text);
  return out;
}

TEST(CommandLine, JoinsEntriesBySingleSpacesQuotingNothing) {
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
      {{"\"D:\\SentinelSystemDriverInstaller7.5.8.exe\""},
       "\"D:\\SentinelSystemDriverInstaller7.5.8.exe\""},
      {{"msiexec.exe", "/i", "\"D:\\a b\\p.msi\"", "/passive"},
       "msiexec.exe /i \"D:\\a b\\p.msi\" /passive"},
      {{"msiexec.exe", "/package", "\"D:\\NerimInstaller.msi_\""},
       "msiexec.exe /package \"D:\\NerimInstaller.msi_\""},
      {{"tool", "two words"}, "tool two words"},
      {{"tool", "", "b"}, "tool  b"},
      {{"tool", ""}, "tool "},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, Join(c.first));
}

TEST(NewConcatenation, JoinsIntoAnExactBuffer) {
  const std::vector<std::vector<std::string>> cases = {
      {".\\", "tool.exe", ".\\tool.exe"}, {"C:\\tools\\tool", ".com", "C:\\tools\\tool.com"},
      {"", "", ""}};
  for (const auto& c : cases) {
    char* text = NewConcatenation(c[0].c_str(), c[1].c_str());
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(c[2], text);
    free(text);
  }
}

TEST(CommandLine, LengthIsEntriesPlusSeparators) {
  const char* argv[] = {"msiexec.exe", "/package", "\"D:\\NerimInstaller.msi_\"", nullptr};
  EXPECT_EQ(45u, CommandLineLength(argv));
}

TEST(ProgramPath, WhereTheFinalComponentStarts) {
  const std::vector<std::pair<const char*, size_t>> cases = {
      {"C:\\tools\\tool", 9}, {"C:/tools/tool", 9}, {"C:\\a/b\\tool", 7},
      {"C:\\a\\b/tool", 7},   {"C:tool", 2},        {"tool.exe", 0},
      {"dir\\x:y", 4},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, FinalComponentStart(c.first)) << c.first;
}

TEST(ProgramPath, BareNameHasNoSeparatorNorDrive) {
  EXPECT_TRUE(IsBareName("tool.exe"));
  EXPECT_FALSE(IsBareName("C:tool.exe"));
  EXPECT_FALSE(IsBareName(".\\tool.exe"));
  EXPECT_FALSE(IsBareName("sub/tool.exe"));
}

TEST(ProgramPath, ExtensionOnlyInTheFinalComponent) {
  const std::vector<std::pair<const char*, bool>> cases = {
      {"C:\\tools\\tool.exe", true}, {"C:\\tools.d\\tool", false}, {"C:\\tools\\tool.", true},
      {"C:.\\tool", false},          {"tool", false},              {"C:x.y", true},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, HasExtension(c.first)) << c.first;
}

TEST(ErrnoFromWin32Error, TableEntriesThenRangesThenEinval) {
  const std::vector<std::pair<unsigned long, int>> cases = {
      {2, ENOENT},     {3, ENOENT},    {5, EACCES},   {6, EBADF},      {8, ENOMEM},
      {11, ENOEXEC},   {17, EXDEV},    {18, ENOENT},  {19, EACCES},    {32, EACCES},
      {36, EACCES},    {37, EINVAL},   {87, EINVAL},  {109, EPIPE},    {124, EINVAL},
      {145, ENOTEMPTY}, {183, EEXIST}, {187, EINVAL}, {188, ENOEXEC},  {193, ENOEXEC},
      {202, ENOEXEC},  {203, EINVAL},  {206, ENOENT}, {1816, ENOMEM},  {0, EINVAL},
      {14, EINVAL},    {267, EINVAL},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, ErrnoFromWin32Error(c.first)) << c.first;
}

}  // namespace
