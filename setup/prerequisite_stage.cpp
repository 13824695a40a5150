#include "setup/prerequisite_stage.h"

std::string SpacesToDots(const std::string& text) {
  std::string dotted = text;
  for (char& c : dotted) {
    if (c == ' ') c = '.';
  }
  return dotted;
}

std::vector<std::string> MarkerCandidates(const std::string& driveLetter,
                                          const std::string& productWord,
                                          const std::string& versionText,
                                          const std::string& choiceName) {
  const char* const roots[] = {":\\Program Files (x86)\\Brenk\\Installers\\",
                               ":\\Program Files\\Brenk\\Installers\\"};
  std::vector<std::string> candidates;
  for (const char* root : roots) {
    for (const std::string& version : {versionText, SpacesToDots(versionText)}) {
      candidates.push_back(driveLetter + root + productWord + "\\" + version + "\\" + choiceName);
    }
  }
  return candidates;
}
