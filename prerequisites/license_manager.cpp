#include "prerequisites/license_manager.h"

namespace {

const char kPackagePrefix[] = "SentinelRMSLicenseManager";
const size_t kVersionStart = sizeof kPackagePrefix - 1;  // 25

}  // namespace

std::string LicenseManagerPattern(const std::string& setupFolder) {
  return setupFolder + "\\" + kPackagePrefix + "*.msi";
}

std::string LicenseManagerVersion(const std::string& packageName) {
  // The listing matched the prefix in some letter case, so the name is at
  // least that long; shorter names come only from callers' mistakes.
  if (packageName.size() < kVersionStart) return std::string();
  size_t end = packageName.find(".msi");
  if (end == std::string::npos || end < kVersionStart) end = packageName.size();
  return packageName.substr(kVersionStart, end - kVersionStart);
}

std::string ScriptingEnginePath(const std::string& setupFolder) {
  return setupFolder + "\\ISScript10.Msi";
}

std::vector<std::string> MsiexecInstallArguments(const std::string& packagePath, bool passive) {
  std::vector<std::string> arguments = {"msiexec.exe", "/i", "\"" + packagePath + "\""};
  if (passive) arguments.push_back("/passive");
  return arguments;
}
