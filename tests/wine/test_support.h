#pragma once

#include <string>
#include <vector>

#include "gtest/gtest.h"

// Helpers shared by the tests that run under wine.

// The folder holding the test binary, where the build puts the helper
// programs and setup.exe too.
std::string BuildFolder();

// An empty folder %TEMP%\nerim-tests\<name>, emptied first if it exists.
std::string FreshFolder(const std::string& name);

void RemoveTree(const std::string& path);
void WriteTextFile(const std::string& path, const std::string& text);
std::string ReadTextFile(const std::string& path);
// setup.exe built exactly as it ships, for the architecture wine runs here
// (NERIM_SETUP_EXE, set by the build).
std::string ShippedSetupExe();
bool CopyBuiltProgram(const std::string& programName, const std::string& destination);

// The recorder's lines (see tests/helpers/recorder.cpp), one per child run.
struct Recorded {
  std::string program;
  std::string currentDirectory;
  std::string commandLine;
  bool overlapped;  // started while another recorder was still running
  std::string startup;  // "flags=F,show=S,handle=H", see the recorder
};
std::vector<Recorded> ReadRecords(const std::string& logPath);

// Sets what every recorder started from now on does.
void SetRecorderBehaviour(const std::string& logPath, long long exitCode, int sleepMs = 0);

// Starts a program directly (not through the code under test), in the
// current directory given or this one, and returns its exit code, or -1000
// when it did not start.
long long RunDirectly(const std::string& program, const std::string& commandLine,
                      const std::string& currentDirectory = std::string());

// Puts the recorder (or nothing) where setup.exe looks for msiexec, keeping
// the prefix's own msiexec aside; RestoreMsiexec puts it back.
void ReplaceMsiexec(bool withStandIn);
void RestoreMsiexec();

// The fixture of tests that replace the prefix's msiexec: TearDown puts the
// real one back however the test ended, so that one failed assertion cannot
// break every later test that needs it.
class MsiexecRestoringTest : public ::testing::Test {
 protected:
  void TearDown() override { RestoreMsiexec(); }
};

// A medium folder "<name>\My Media" holding the shipped setup.exe and a
// stand-in main package, and a log for the recorders in a folder of its own.
struct Medium {
  std::string folder;
  std::string setupExe;
  std::string log;
};
Medium PrepareMedium(const std::string& name, long long recorderExit, int sleepMs = 0);

// An installed program's entry below the uninstall key, in the registry view
// given (KEY_WOW64_32KEY or KEY_WOW64_64KEY). type 0 (REG_NONE) leaves the
// entry without a DisplayName; the data is stored byte for byte.
void AddUninstallEntry(unsigned long view, const std::string& subkey, unsigned long type,
                       const std::string& displayName);
void RemoveUninstallEntry(unsigned long view, const std::string& subkey);
