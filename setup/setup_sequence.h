#pragma once

#include <string>

// The values the setup sequence derives from the machine and from its own
// location, as pure functions of the texts the platform returned.

// The text before the first ':' of the system directory, or the whole text
// when it holds none: "C:\Windows\system32" -> "C".
std::string SystemDriveLetter(const std::string& systemDirectory);

// The folder of the running executable, without a trailing backslash: the
// text before the last '\', or the whole text when it holds none.
// "D:\setup.exe" -> "D:", "D:\Media\Disk1\setup.exe" -> "D:\Media\Disk1".
std::string SetupFolder(const std::string& executablePath);

// The system directory's own msiexec.exe, never a guess at where Windows
// lives: a path outside the system directory might be writable by ordinary
// users. Empty when the system directory is unknown, so nothing is started.
std::string MsiexecPath(const std::string& systemDirectory);

// "1.5.0.113805": the product's version numbers joined by dots.
std::string ProductVersionText();

// The main package's path in double quotes, so a folder with spaces stays one
// argument: "D:\My Media" -> "\"D:\My Media\NerimInstaller.msi_\"".
std::string MainPackageArgument(const std::string& setupFolder);
