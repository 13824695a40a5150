#include "prerequisites/system_driver.h"

std::string SystemDriverInstallerPath(const std::string& setupFolder) {
  std::string path = setupFolder;
  if (!path.empty() && path.back() != '\\') path += '\\';
  return path + "SentinelSystemDriverInstaller7.5.8.exe";
}
