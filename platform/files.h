#pragma once

#include <string>
#include <vector>

// Thin wrappers over the platform's file queries. "Not found" is an ordinary
// answer: every failure reads as absent or as an empty list.

// True when the path names an existing file or directory, of any size.
bool PathExists(const std::string& path);

// The names (without folder) of the entries matching a pattern such as
// "D:\Prefix*.msi", in the order the platform lists them. The platform's
// matching ignores letter case.
std::vector<std::string> ListMatchingNames(const std::string& pattern);

// True when FindFirstFileA finds an entry for the path.
bool FindsEntry(const std::string& path);
