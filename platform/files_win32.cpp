#include "platform/files.h"

#include <sys/stat.h>
#include <windows.h>

bool PathExists(const std::string& path) {
  // The 64-bit query: the 32-bit one fails for files of 2 GiB or more, and an
  // existing file would read as absent.
  struct _stat64 status;
  return _stat64(path.c_str(), &status) == 0;
}

std::vector<std::string> ListMatchingNames(const std::string& pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA(pattern.c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(entry.cFileName);
  } while (FindNextFileA(find, &entry));
  FindClose(find);
  return names;
}

bool FindsEntry(const std::string& path) {
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA(path.c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return false;
  FindClose(find);
  return true;
}
