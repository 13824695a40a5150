#pragma once

#include <string>

// Runs the Sentinel System Driver's installer from the setup folder, with no
// switches, and waits for it. True when the installer was there to run.
bool InstallSystemDriver(const std::string& setupFolder);

// The installer's path: the folder, a backslash unless the folder is empty or
// already ends in one, and the fixed file name.
//   "D:" -> "D:\SentinelSystemDriverInstaller7.5.8.exe"
//   "D:\" -> "D:\SentinelSystemDriverInstaller7.5.8.exe"
//   "" -> "SentinelSystemDriverInstaller7.5.8.exe"
std::string SystemDriverInstallerPath(const std::string& setupFolder);
