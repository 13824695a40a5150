#pragma once

#include <string>
#include <vector>

// Installs the Sentinel RMS License Manager from the package in the setup
// folder, preceded by the InstallShield scripting engine "ISScript10.Msi"
// when the folder holds it, unless a licence manager of the package's version
// is already installed. True when a licence-manager package was found,
// whether or not anything ran.
bool InstallLicenseManager(const std::string& setupFolder, const std::string& msiexecPath,
                           bool passive);

// "D:\Media" -> "D:\Media\SentinelRMSLicenseManager*.msi". The backslash is
// always inserted.
std::string LicenseManagerPattern(const std::string& setupFolder);

// The version text in a package name: from position 25, just after the
// prefix, up to the first ".msi", matched case-sensitively, or to the end.
//   "SentinelRMSLicenseManager9.7.0.msi" -> "9.7.0"
//   "SentinelRMSLicenseManager9.7.0.MSI" -> "9.7.0.MSI"
std::string LicenseManagerVersion(const std::string& packageName);

std::string ScriptingEnginePath(const std::string& setupFolder);

// msiexec's argument vector for one package: "msiexec.exe", "/i", the path
// in double quotes, and "/passive" when passive is set.
std::vector<std::string> MsiexecInstallArguments(const std::string& packagePath, bool passive);
