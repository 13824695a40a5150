#include <string>

#include "platform/files.h"
#include "platform/system.h"
#include "prerequisites/license_manager.h"
#include "prerequisites/system_driver.h"
#include "setup/prerequisite_stage.h"
#include "setup/setup_sequence.h"

bool IsInstallOptionSelected(const std::string& productWord, const std::string& versionText,
                             const std::string& choiceName) {
  std::string driveLetter = SystemDriveLetter(ReadSystemDirectory());
  for (const std::string& candidate :
       MarkerCandidates(driveLetter, productWord, versionText, choiceName)) {
    if (PathExists(candidate)) return true;
  }
  return false;
}

void RunPrerequisiteStage(const std::string& setupFolder, const std::string& msiexecPath,
                          const std::string& versionText, int mainPackageExitCode) {
  // Both choices are read before anything runs, whatever the main package did.
  bool licenceChosen = IsInstallOptionSelected("Nerim", versionText, "optLS");
  bool driverChosen = IsInstallOptionSelected("Nerim", versionText, "optDD");
  // Only exactly 0 is success: a cancelled run, a failed one, one that asks
  // for a restart (3010) and a msiexec that never started (-1) all are not.
  if (mainPackageExitCode != 0) return;
  if (licenceChosen) InstallLicenseManager(setupFolder, msiexecPath, true);
  if (driverChosen) InstallSystemDriver(setupFolder);
}
