#pragma once

#include <string>
#include <vector>

// Helpers shared by the tests that run under wine.

// The folder holding the test binary, where the build puts the helper
// programs and setup.exe too.
std::string BuildFolder();

// An empty folder %TEMP%\nerim-tests\<name>, emptied first if it exists.
std::string FreshFolder(const std::string& name);

void RemoveTree(const std::string& path);
void WriteTextFile(const std::string& path, const std::string& text);
std::string ReadTextFile(const std::string& path);
bool CopyBuiltProgram(const std::string& programName, const std::string& destination);

// The recorder's lines (see tests/helpers/recorder.cpp), one per child run.
struct Recorded {
  std::string program;
  std::string currentDirectory;
  std::string commandLine;
};
std::vector<Recorded> ReadRecords(const std::string& logPath);

// Sets what every recorder started from now on does.
void SetRecorderBehaviour(const std::string& logPath, long long exitCode, int sleepMs = 0);

// Starts a program directly (not through the code under test) and returns
// its exit code, or -1000 when it did not start.
long long RunDirectly(const std::string& program, const std::string& commandLine);
