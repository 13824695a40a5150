#pragma once

#include <cstddef>
#include <string>

// True when a program listed in the 32-bit view of the registry's installed
// programs has a display name holding "Sentinel", "License Manager" and the
// version text. Any failure to read counts as "not installed".
bool IsLicenseManagerInstalled(const std::string& version);

// Three independent, case-sensitive substring tests, in any order, possibly
// overlapping. An empty version is found in every name.
bool DisplayNameMatches(const std::string& displayName, const std::string& version);

// A registry value's data read as text: up to its first NUL, and never past
// the bytes returned, for a value stored without its terminator.
std::string ValueDataAsText(const char* data, size_t size);

// "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\<name>", or false when
// it would not fit the 1024-byte buffer the scan reads paths into.
bool UninstallSubkeyPath(const std::string& subkeyName, std::string* path);

constexpr char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
// The size of every fixed buffer of the scan: names, paths and values.
constexpr size_t kRegistryTextSize = 1024;
