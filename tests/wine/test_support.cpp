#include "test_support.h"

#include "prerequisites/installed_products.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "gtest/gtest.h"

std::string BuildFolder() {
  char path[MAX_PATH * 4];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string text(path, length);
  return text.substr(0, text.rfind('\\'));
}

void RemoveTree(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
    return;
  }
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((path + "\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = entry.cFileName;
      if (name != "." && name != "..") RemoveTree(path + "\\" + name);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryA(path.c_str());
}

std::string FreshFolder(const std::string& name) {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  std::string root = std::string(temp) + "nerim-tests";
  CreateDirectoryA(root.c_str(), nullptr);
  std::string folder = root + "\\" + name;
  RemoveTree(folder);
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

void WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadTextFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string ShippedSetupExe() {
  char path[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("NERIM_SETUP_EXE", path, sizeof path);
  return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

namespace {

// Says once, at the start, which setup.exe the tests run.
class AnnounceShippedSetup : public testing::Environment {
  void SetUp() override { printf("setup.exe under test: %s\n", ShippedSetupExe().c_str()); }
};
testing::Environment* const kAnnounce = testing::AddGlobalTestEnvironment(new AnnounceShippedSetup);

}  // namespace

bool CopyBuiltProgram(const std::string& programName, const std::string& destination) {
  return CopyFileA((BuildFolder() + "\\" + programName).c_str(), destination.c_str(), FALSE) != 0;
}

std::vector<Recorded> ReadRecords(const std::string& logPath) {
  std::vector<Recorded> records;
  std::istringstream lines(ReadTextFile(logPath));
  std::string line;
  while (std::getline(lines, line)) {
    // The command line may hold '|' itself; the last two fields never do.
    size_t first = line.find('|');
    size_t second = line.find('|', first + 1);
    size_t last = line.rfind('|');
    size_t beforeLast = line.rfind('|', last - 1);
    records.push_back({line.substr(0, first), line.substr(first + 1, second - first - 1),
                       line.substr(second + 1, beforeLast - second - 1),
                       line.substr(beforeLast + 1, last - beforeLast - 1) == "overlap",
                       line.substr(last + 1)});
  }
  return records;
}

void SetRecorderBehaviour(const std::string& logPath, long long exitCode, int sleepMs) {
  SetEnvironmentVariableA("RECORD_LOG", logPath.c_str());
  SetEnvironmentVariableA("RECORD_EXIT", std::to_string(exitCode).c_str());
  SetEnvironmentVariableA("RECORD_SLEEP_MS", std::to_string(sleepMs).c_str());
}

long long RunDirectly(const std::string& program, const std::string& commandLine,
                      const std::string& currentDirectory) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  std::string writable = commandLine;
  const char* directory = currentDirectory.empty() ? nullptr : currentDirectory.c_str();
  if (!CreateProcessA(program.c_str(), &writable[0], nullptr, nullptr, FALSE, 0, nullptr,
                      directory, &startup, &process)) {
    return -1000;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return exitCode;
}

namespace {

std::string SystemMsiexec() {
  char directory[MAX_PATH];
  UINT length = GetSystemDirectoryA(directory, sizeof directory);
  return std::string(directory, length) + "\\msiexec.exe";
}

}  // namespace

void ReplaceMsiexec(bool withStandIn) {
  std::string msiexec = SystemMsiexec();
  std::string kept = msiexec + ".kept";
  if (GetFileAttributesA(kept.c_str()) == INVALID_FILE_ATTRIBUTES) {
    MoveFileA(msiexec.c_str(), kept.c_str());
  }
  DeleteFileA(msiexec.c_str());
  if (withStandIn) CopyBuiltProgram("recorder.exe", msiexec);
}

void RestoreMsiexec() {
  std::string msiexec = SystemMsiexec();
  std::string kept = msiexec + ".kept";
  // Nothing kept aside means nothing was replaced: the file there is the real one.
  if (GetFileAttributesA(kept.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  DeleteFileA(msiexec.c_str());
  MoveFileA(kept.c_str(), msiexec.c_str());
}

Medium PrepareMedium(const std::string& name, long long recorderExit, int sleepMs) {
  Medium medium;
  medium.folder = FreshFolder(name) + "\\My Media";
  CreateDirectoryA(medium.folder.c_str(), nullptr);
  medium.setupExe = medium.folder + "\\setup.exe";
  std::string shipped = ShippedSetupExe();
  if (!CopyFileA(shipped.c_str(), medium.setupExe.c_str(), FALSE)) {
    ADD_FAILURE() << "no setup.exe at " << shipped << " (NERIM_SETUP_EXE)";
  }
  WriteTextFile(medium.folder + "\\NerimInstaller.msi_", "stand-in package");
  medium.log = FreshFolder(name + " log") + "\\log.txt";
  SetRecorderBehaviour(medium.log, recorderExit, sleepMs);
  return medium;
}

void AddUninstallEntry(unsigned long view, const std::string& subkey, unsigned long type,
                       const std::string& displayName) {
  std::string path = std::string(kUninstallKey) + "\\" + subkey;
  HKEY key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  RegSetValueExA(key, "Publisher", 0, REG_SZ, reinterpret_cast<const BYTE*>("Test"), 5);
  if (type != REG_NONE) {
    RegSetValueExA(key, "DisplayName", 0, type, reinterpret_cast<const BYTE*>(displayName.data()),
                   static_cast<DWORD>(displayName.size()));
  }
  RegCloseKey(key);
}

void RemoveUninstallEntry(unsigned long view, const std::string& subkey) {
  std::string path = std::string(kUninstallKey) + "\\" + subkey;
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), view, 0);
}
