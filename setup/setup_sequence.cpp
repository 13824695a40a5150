#include "setup/setup_sequence.h"

namespace {

const unsigned kProductVersion[] = {1, 5, 0, 113805};

}  // namespace

std::string SystemDriveLetter(const std::string& systemDirectory) {
  return systemDirectory.substr(0, systemDirectory.find(':'));
}

std::string SetupFolder(const std::string& executablePath) {
  return executablePath.substr(0, executablePath.rfind('\\'));
}

std::string MsiexecPath(const std::string& systemDirectory) {
  if (systemDirectory.empty()) return std::string();
  return systemDirectory + "\\msiexec.exe";
}

std::string ProductVersionText() {
  std::string text;
  for (unsigned number : kProductVersion) {
    if (!text.empty()) text += '.';
    text += std::to_string(number);
  }
  return text;
}

std::string MainPackageArgument(const std::string& setupFolder) {
  return "\"" + setupFolder + "\\NerimInstaller.msi_\"";
}
