#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"
#include "prerequisites/installed_products.h"
#include "prerequisites/license_manager.h"

bool InstallLicenseManager(const std::string& setupFolder, const std::string& msiexecPath,
                           bool passive) {
  std::vector<std::string> packages = ListMatchingNames(LicenseManagerPattern(setupFolder));
  if (packages.empty()) return false;
  // Only the first name the platform lists is used, in whatever order it
  // lists them.
  const std::string& package = packages.front();
  if (IsLicenseManagerInstalled(LicenseManagerVersion(package))) return true;

  std::string scriptingEngine = ScriptingEnginePath(setupFolder);
  if (FindsEntry(scriptingEngine)) {
    RunAndWait(msiexecPath, MsiexecInstallArguments(scriptingEngine, passive));
  }
  // The licence manager is installed whatever became of the scripting engine.
  RunAndWait(msiexecPath, MsiexecInstallArguments(setupFolder + "\\" + package, passive));
  return true;
}
