#include <string>

#include "platform/files.h"
#include "platform/process.h"
#include "prerequisites/system_driver.h"

bool InstallSystemDriver(const std::string& setupFolder) {
  std::string installer = SystemDriverInstallerPath(setupFolder);
  if (!PathExists(installer)) return false;
  // Its own quoted path is the whole command line.
  RunAndWait(installer, {"\"" + installer + "\""});
  return true;
}
