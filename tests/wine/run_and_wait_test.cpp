// RunAndWait against real children: copies of the recorder that report the
// command line and current directory they received.
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/process.h"
#include "test_support.h"

namespace {

struct Scratch {
  std::string folder;
  std::string log;
};

Scratch PrepareScratch(const std::string& name, long long exitCode = 0, int sleepMs = 0) {
  Scratch scratch{FreshFolder(name), ""};
  scratch.log = scratch.folder + "\\log.txt";
  SetRecorderBehaviour(scratch.log, exitCode, sleepMs);
  return scratch;
}

std::string Recorder(const Scratch& scratch, const std::string& name) {
  std::string path = scratch.folder + "\\" + name;
  EXPECT_TRUE(CopyBuiltProgram("recorder.exe", path)) << path;
  return path;
}

TEST(RunAndWait, ChildReceivesEntriesJoinedBySingleSpacesUnquoted) {
  Scratch scratch = PrepareScratch("join");
  std::string program = Recorder(scratch, "rec.exe");
  std::string quotedProgram = "\"" + program + "\"";
  struct Case {
    std::vector<const char*> argv;
    std::string commandLine;
  };
  const std::vector<Case> cases = {
      {{"rec.exe", nullptr}, "rec.exe"},
      {{quotedProgram.c_str(), nullptr}, quotedProgram},
      {{"msiexec.exe", "/i", "\"D:\\My Media\\p.msi\"", "/passive", nullptr},
       "msiexec.exe /i \"D:\\My Media\\p.msi\" /passive"},
      {{"rec.exe", "two words", nullptr}, "rec.exe two words"},
      {{"rec.exe", "", "b", nullptr}, "rec.exe  b"},
      {{"rec.exe", "", nullptr}, "rec.exe "},
  };
  for (const Case& c : cases) {
    DeleteFileA(scratch.log.c_str());
    EXPECT_EQ(0, RunAndWait(program.c_str(), c.argv.data()));
    std::vector<Recorded> records = ReadRecords(scratch.log);
    ASSERT_EQ(1u, records.size()) << c.commandLine;
    EXPECT_EQ(c.commandLine, records[0].commandLine);
  }
}

TEST(RunAndWait, ReturnsExitCodeReadAsSigned) {
  const std::vector<std::pair<long long, int>> cases = {
      {0, 0}, {1603, 1603}, {3010, 3010}, {0x80000000LL, INT_MIN}, {0xFFFFFFFFLL, -1}};
  for (const auto& c : cases) {
    Scratch scratch = PrepareScratch("exit", c.first);
    std::string program = Recorder(scratch, "rec.exe");
    const char* argv[] = {"rec.exe", nullptr};
    EXPECT_EQ(c.second, RunAndWait(program.c_str(), argv)) << c.first;
    // -1 is also what a child that never started gives.
    EXPECT_EQ(1u, ReadRecords(scratch.log).size()) << c.first;
  }
}

// Also when the child's first thread ends long before the child does, as
// an installer's may: the process is what is waited for, not that thread.
TEST(RunAndWait, ReturnsOnlyAfterTheChildHasEnded) {
  for (const char* firstThreadEnds : {"", "1"}) {
    Scratch scratch = PrepareScratch("wait", 7, 1500);
    SetEnvironmentVariableA("RECORD_FIRST_THREAD_ENDS", firstThreadEnds);
    std::string program = Recorder(scratch, "slow.exe");
    const char* argv[] = {"slow.exe", nullptr};
    EXPECT_EQ(7, RunAndWait(program.c_str(), argv)) << firstThreadEnds;
    // The child writes its line only at the very end of its life.
    EXPECT_EQ(1u, ReadRecords(scratch.log).size()) << firstThreadEnds;
    SetEnvironmentVariableA("RECORD_FIRST_THREAD_ENDS", nullptr);
  }
}

// Beyond its command line: the child inherits the caller's inheritable
// handles (a vendor's installer may rely on them), is started with no
// creation flag, and no window position, size or show state is asked for
// it, so installers show their own windows as they choose.
TEST(RunAndWait, ChildInheritsHandlesAndIsAskedForNoWindowState) {
  Scratch scratch = PrepareScratch("startup");
  std::string program = Recorder(scratch, "rec.exe");
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  HANDLE event = CreateEventA(&inheritable, TRUE, TRUE, nullptr);
  ASSERT_NE(nullptr, event);
  char value[32];
  snprintf(value, sizeof value, "%llx", static_cast<unsigned long long>(
                                            reinterpret_cast<uintptr_t>(event)));
  SetEnvironmentVariableA("RECORD_HANDLE", value);
  const char* argv[] = {"rec.exe", nullptr};
  EXPECT_EQ(0, RunAndWait(program.c_str(), argv));
  SetEnvironmentVariableA("RECORD_HANDLE", nullptr);
  CloseHandle(event);
  std::vector<Recorded> records = ReadRecords(scratch.log);
  ASSERT_EQ(1u, records.size());
  // Creation flags 0: the child shares the caller's console, or its lack of
  // one, and its priority class.
  std::string expected = std::string("console=") + (GetConsoleCP() != 0 ? "yes" : "no") +
                         ",priority=" + std::to_string(GetPriorityClass(GetCurrentProcess())) +
                         ",flags=0,show=0,handle=inherited";
  EXPECT_EQ(expected, records[0].startup);
}

TEST(RunAndWait, ChildStartsInTheCallersCurrentDirectory) {
  Scratch scratch = PrepareScratch("cwd");
  std::string program = Recorder(scratch, "rec.exe");
  std::string elsewhere = FreshFolder("cwd elsewhere");
  char previous[MAX_PATH];
  GetCurrentDirectoryA(sizeof previous, previous);
  SetCurrentDirectoryA(elsewhere.c_str());
  const char* argv[] = {"rec.exe", nullptr};
  int result = RunAndWait(program.c_str(), argv);
  SetCurrentDirectoryA(previous);
  EXPECT_EQ(0, result);
  std::vector<Recorded> records = ReadRecords(scratch.log);
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(elsewhere, records[0].currentDirectory);
}

// A recorder for .com and .exe, a batch file that exits with 9 for .bat and
// .cmd, a folder for a name that ends in "\\".
void PlaceProgram(const Scratch& scratch, const std::string& name) {
  std::string path = scratch.folder + "\\" + name;
  if (name.back() == '\\') {
    CreateDirectoryA(path.c_str(), nullptr);
  } else if (name.find(".bat") != std::string::npos || name.find(".cmd") != std::string::npos) {
    WriteTextFile(path, "@exit 9\r\n");
  } else {
    Recorder(scratch, name);
  }
}

// Which file runs for a path without an extension, given the files present:
// the first of .com, .exe, .bat and .cmd. A batch file runs through cmd,
// which finds its file again from the command line, so whether .bat comes
// before .cmd shows only with a .bat that exists and cannot start.
TEST(RunAndWait, PathWithoutExtensionRunsFirstOfComExeBatCmd) {
  struct Case {
    std::vector<std::string> present;
    std::string expected;  // empty: the first found does not start
  };
  const std::vector<Case> cases = {
      {{"tool.exe", "tool.com"}, "tool.com"},
      {{"tool.cmd", "tool.exe"}, "tool.exe"},
      {{"tool.bat", "tool.exe"}, "tool.exe"},
      {{"tool.cmd", "tool.bat\\"}, ""},
  };
  for (const Case& c : cases) {
    Scratch scratch = PrepareScratch("ext");
    for (const std::string& name : c.present) PlaceProgram(scratch, name);
    std::string program = scratch.folder + "\\tool";
    const char* argv[] = {"tool", nullptr};
    errno = 4242;
    int result = RunAndWait(program.c_str(), argv);
    std::vector<Recorded> records = ReadRecords(scratch.log);
    if (c.expected.empty()) {
      EXPECT_EQ(-1, result) << c.present[0];
      EXPECT_TRUE(records.empty());
      continue;
    }
    EXPECT_EQ(0, result) << c.expected;
    EXPECT_EQ(4242, errno) << "the failed tests of earlier candidates left errno changed";
    ASSERT_EQ(1u, records.size()) << c.expected;
    EXPECT_EQ(c.expected, records[0].program);
  }
}

TEST(RunAndWait, NoCandidateExtensionExists) {
  Scratch scratch = PrepareScratch("noext");
  Recorder(scratch, "tool.bin.exe");
  std::string program = scratch.folder + "\\tool";
  const char* argv[] = {"tool", nullptr};
  errno = 0;
  EXPECT_EQ(-1, RunAndWait(program.c_str(), argv));
  EXPECT_EQ(ENOENT, errno);
}

TEST(RunAndWait, NamedExtensionThatIsMissingTriesNoOther) {
  Scratch scratch = PrepareScratch("named");
  Recorder(scratch, "tool.bin.exe");
  Recorder(scratch, "tool.bin.com");
  std::string program = scratch.folder + "\\tool.bin";
  const char* argv[] = {"tool.bin", nullptr};
  errno = 0;
  EXPECT_EQ(-1, RunAndWait(program.c_str(), argv));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_TRUE(ReadRecords(scratch.log).empty());
}

// "Médium" as the narrow file functions name it: in the ANSI code page,
// where é is 0xE9 under Windows-1252 and two bytes under UTF-8 (wine's code
// page where the locale is C or UTF-8), and another letter in the OEM one.
namespace {
std::string AnsiMedium() {
  char name[16];
  BOOL substituted = FALSE;
  int length = WideCharToMultiByte(CP_ACP, 0, L"M\u00e9dium", -1, name, sizeof name, nullptr,
                                   &substituted);
  return length > 0 && !substituted ? name : "";
}
}  // namespace

// A dot in a folder's name is no extension, so the extensions are still
// tried; a folder named outside ASCII is found under the name the narrow
// file functions give it.
TEST(RunAndWait, FindsProgramsInFoldersWithDotsOrLettersOutsideAscii) {
  Scratch scratch = PrepareScratch("folders");
  const std::string medium = AnsiMedium();
  ASSERT_FALSE(medium.empty()) << "the ANSI code page has no \u00e9";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"tools.d", "tool"}, {medium, "tool.exe"}, {medium, "tool"}};
  for (const auto& c : cases) {
    std::string folder = scratch.folder + "\\" + c.first;
    CreateDirectoryA(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyBuiltProgram("recorder.exe", folder + "\\tool.exe")) << folder;
    DeleteFileA(scratch.log.c_str());
    std::string program = folder + "\\" + c.second;
    const char* argv[] = {"tool", nullptr};
    EXPECT_EQ(0, RunAndWait(program.c_str(), argv)) << program;
    EXPECT_EQ(1u, ReadRecords(scratch.log).size()) << program;
  }
}

TEST(RunAndWait, BareNameIsLookedUpInCurrentDirectoryOnly) {
  Scratch scratch = PrepareScratch("bare");
  std::string here = FreshFolder("bare here");
  std::string onPath = FreshFolder("bare on path");
  ASSERT_TRUE(CopyBuiltProgram("recorder.exe", here + "\\local.exe"));
  ASSERT_TRUE(CopyBuiltProgram("recorder.exe", onPath + "\\pathonly.exe"));

  char previousDirectory[MAX_PATH], previousPath[32767];
  GetCurrentDirectoryA(sizeof previousDirectory, previousDirectory);
  GetEnvironmentVariableA("PATH", previousPath, sizeof previousPath);
  SetCurrentDirectoryA(here.c_str());
  SetEnvironmentVariableA("PATH", (onPath + ";" + previousPath).c_str());

  const char* local[] = {"local.exe", nullptr};
  int localResult = RunAndWait("local.exe", local);
  const char* pathOnly[] = {"pathonly.exe", nullptr};
  errno = 0;
  int pathOnlyResult = RunAndWait("pathonly.exe", pathOnly);
  int pathOnlyErrno = errno;
  // A program of the system directory is not found by its bare name either.
  const char* system[] = {"cmd.exe", nullptr};
  int systemResult = RunAndWait("cmd.exe", system);

  SetEnvironmentVariableA("PATH", previousPath);
  SetCurrentDirectoryA(previousDirectory);
  EXPECT_EQ(0, localResult);
  EXPECT_EQ(-1, pathOnlyResult);
  EXPECT_EQ(ENOENT, pathOnlyErrno);
  EXPECT_EQ(-1, systemResult);
  std::vector<Recorded> records = ReadRecords(scratch.log);
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ("local.exe", records[0].program);
}

TEST(RunAndWait, DirectoryPassesExistenceTestButDoesNotStart) {
  Scratch scratch = PrepareScratch("dir");
  std::string program = scratch.folder + "\\folder.exe";
  CreateDirectoryA(program.c_str(), nullptr);
  const char* argv[] = {"folder.exe", nullptr};
  errno = 0;
  EXPECT_EQ(-1, RunAndWait(program.c_str(), argv));
  EXPECT_NE(0, errno);
  EXPECT_NE(ENOENT, errno) << "the directory exists, so the failure is CreateProcessA's";
}

TEST(RunAndWait, InvalidArgumentsStartNothing) {
  Scratch scratch = PrepareScratch("einval");
  std::string program = Recorder(scratch, "rec.exe");
  const char* good[] = {"rec.exe", nullptr};
  const char* noEntries[] = {nullptr};
  const char* emptyFirst[] = {"", "x", nullptr};
  struct Case {
    const char* program;
    const char* const* argv;
  };
  const Case cases[] = {
      {nullptr, good}, {"", good}, {program.c_str(), nullptr},
      {program.c_str(), noEntries}, {program.c_str(), emptyFirst},
  };
  for (const Case& c : cases) {
    errno = 0;
    EXPECT_EQ(-1, RunAndWait(c.program, c.argv));
    EXPECT_EQ(EINVAL, errno);
  }
  EXPECT_TRUE(ReadRecords(scratch.log).empty());
}

}  // namespace
