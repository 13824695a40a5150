#include "setup/setup_sequence.h"

namespace {

// From the build, which keeps the product's version in one place.
const unsigned kProductVersion[] = {NERIM_VERSION_MAJOR, NERIM_VERSION_MINOR, NERIM_VERSION_PATCH,
                                    NERIM_VERSION_BUILD};

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
