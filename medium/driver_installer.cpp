// A stand-in for the Sentinel System Driver installer: appends one line, its
// command line, to %ProgramData%\Sentinel System Driver (sample)\receipt.txt,
// so a run can be seen and counted afterwards.
#include <windows.h>

#include <string>

int main() {
  char programData[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("ProgramData", programData, sizeof programData);
  std::string folder = length > 0 && length < sizeof programData ? programData : "C:\\ProgramData";
  folder += "\\Sentinel System Driver (sample)";
  CreateDirectoryA(folder.c_str(), nullptr);
  HANDLE receipt = CreateFileA((folder + "\\receipt.txt").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (receipt == INVALID_HANDLE_VALUE) return 1;
  std::string line = std::string(GetCommandLineA()) + "\r\n";
  DWORD written = 0;
  WriteFile(receipt, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(receipt);
  return 0;
}
