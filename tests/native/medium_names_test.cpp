// The tools' one definition of the medium's names (medium/names.sh) against
// the names the program itself uses: a file renamed on one side only fails
// here, not on an administrator's machine.
#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "gtest/gtest.h"
#include "prerequisites/license_manager.h"
#include "prerequisites/system_driver.h"
#include "setup/prerequisite_stage.h"
#include "setup/setup_sequence.h"

namespace {

std::map<std::string, std::string> ToolNames() {
  std::map<std::string, std::string> names;
  std::ifstream file(NERIM_MEDIUM_NAMES);
  const std::regex assignment("([A-Z_]+)='([^']*)'");
  std::smatch match;
  for (std::string line; std::getline(file, line);) {
    if (std::regex_match(line, match, assignment)) names[match[1]] = match[2];
  }
  return names;
}

TEST(MediumNames, TheToolsNameWhatTheProgramLooksFor) {
  auto names = ToolNames();
  ASSERT_EQ(7u, names.size()) << NERIM_MEDIUM_NAMES;
  EXPECT_EQ("\"D:\\M\\" + names["MAIN_PACKAGE"] + "\"", MainPackageArgument("D:\\M"));
  EXPECT_EQ("D:\\M\\" + names["SCRIPTING_ENGINE"], ScriptingEnginePath("D:\\M"));
  EXPECT_EQ("D:\\M\\" + names["LICENCE_MANAGER_PREFIX"] + "*.msi", LicenseManagerPattern("D:\\M"));
  EXPECT_EQ("9.7.0", LicenseManagerVersion(names["LICENCE_MANAGER_PREFIX"] + "9.7.0.msi"));
  EXPECT_EQ("D:\\M\\" + names["DRIVER_INSTALLER"], SystemDriverInstallerPath("D:\\M"));
  // The markers' own names reach the program through the sample main
  // package, which make-medium.sh builds from the same file: the
  // end-to-end test installs it and setup.exe must find them.
  const std::string folder = names["PRODUCT_FOLDER"];
  const std::string product = folder.substr(folder.rfind('\\') + 1);
  EXPECT_EQ("C:\\Program Files (x86)\\" + folder + "\\1.0\\" + names["LICENCE_MARKER"],
            MarkerCandidates("C", product, "1.0", names["LICENCE_MARKER"]).front());
}

}  // namespace
