#pragma once

#include <string>
#include <vector>

// After the main package: reads which prerequisites were chosen and, only
// when the main package's exit code was exactly 0, installs them, the
// licence manager first, then the hardware-key driver.
void RunPrerequisiteStage(const std::string& setupFolder, const std::string& msiexecPath,
                          const std::string& versionText, int mainPackageExitCode);

// True when the choice's marker file (or folder) exists under the maker's
// installers folder, in either Program Files folder of the system drive.
bool IsInstallOptionSelected(const std::string& productWord, const std::string& versionText,
                             const std::string& choiceName);

// Every space replaced by a dot: "1.5.0 113805" -> "1.5.0.113805".
std::string SpacesToDots(const std::string& text);

// The four marker paths in the order they are tested: under
// "<drive>:\Program Files (x86)\Brenk\Installers\" with the version as is and
// dotted, then the same under "<drive>:\Program Files\Brenk\Installers\".
//   "C", "Nerim", "1.5.0.113805", "optLS"
//     -> "C:\Program Files (x86)\Brenk\Installers\Nerim\1.5.0.113805\optLS", ...
std::vector<std::string> MarkerCandidates(const std::string& driveLetter,
                                          const std::string& productWord,
                                          const std::string& versionText,
                                          const std::string& choiceName);
