#include <windows.h>

#include <string>

#include "platform/process.h"
#include "platform/system.h"
#include "setup/prerequisite_stage.h"
#include "setup/setup_sequence.h"

// Runs the product's package through the Windows Installer, waits for it, then
// installs the prerequisites chosen during that installation. Nothing is
// shown or reported, and the exit code is 0 whatever happened.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  RestrictDllSearchToSystemDirectory();
  std::string systemDirectory = ReadSystemDirectory();
  std::string executablePath;
  // Without its own path the program cannot tell where the medium is, and a
  // guess could hand msiexec a package from some other folder.
  if (!ReadModulePath(instance, &executablePath)) return 0;

  std::string setupFolder = SetupFolder(executablePath);
  std::string msiexecPath = MsiexecPath(systemDirectory);
  std::string versionText = ProductVersionText();
  std::string packageArgument = MainPackageArgument(setupFolder);
  const char* const packageArguments[] = {"msiexec.exe", "/package", packageArgument.c_str(),
                                          nullptr};
  int packageExitCode = RunAndWait(msiexecPath.c_str(), packageArguments);
  RunPrerequisiteStage(setupFolder, msiexecPath, versionText, packageExitCode);
  return 0;
}
