#include "prerequisites/installed_products.h"

#include <cstring>

bool DisplayNameMatches(const std::string& displayName, const std::string& version) {
  return displayName.find("Sentinel") != std::string::npos &&
         displayName.find("License Manager") != std::string::npos &&
         displayName.find(version) != std::string::npos;
}

std::string ValueDataAsText(const char* data, size_t size) {
  const void* nul = memchr(data, '\0', size);
  return std::string(data, nul != nullptr ? static_cast<const char*>(nul) - data : size);
}

bool UninstallSubkeyPath(const std::string& subkeyName, std::string* path) {
  std::string composed = std::string(kUninstallKey) + "\\" + subkeyName;
  if (composed.size() + 1 > kRegistryTextSize) return false;
  *path = composed;
  return true;
}
