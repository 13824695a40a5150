// The whole sequence: setup.exe on a medium, markers in the Program Files
// folders, recording stand-ins for msiexec and for the driver's installer.
#include <windows.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "prerequisites/license_manager.h"
#include "test_support.h"

namespace {

#define NERIM_QUOTE(x) #x
#define NERIM_STRING(x) NERIM_QUOTE(x)
// The version the build gives setup.exe names the folder it probes.
const std::string kVersion = NERIM_STRING(NERIM_VERSION_TEXT);
const std::string kMarkerTail = "\\Brenk\\Installers\\Nerim\\" + kVersion + "\\";
const char kDriver[] = "SentinelSystemDriverInstaller7.5.8.exe";

std::string ProgramFiles(int root) {
  return root == 1 ? "C:\\Program Files (x86)" : "C:\\Program Files";
}

void RemoveMarkers() {
  for (int root : {1, 2}) RemoveTree(ProgramFiles(root) + "\\Brenk");
}

struct Marker {
  int root;  // 1: Program Files (x86), 2: Program Files
  const char* choice;
  bool asFolder;
};

void PlaceMarker(const Marker& marker) {
  std::string folder = ProgramFiles(marker.root);
  const std::vector<std::string> parts = {"\\Brenk", "\\Installers", "\\Nerim", "\\" + kVersion};
  for (const std::string& part : parts) {
    folder += part;
    CreateDirectoryA(folder.c_str(), nullptr);
  }
  std::string path = folder + "\\" + marker.choice;
  if (marker.asFolder) {
    CreateDirectoryA(path.c_str(), nullptr);
  } else {
    WriteTextFile(path, "");
  }
}

// What a run is expected to start, by a short label.
std::string ExpectedCommandLine(const std::string& label, const std::string& medium) {
  if (label == "main") return "msiexec.exe /package \"" + medium + "\\NerimInstaller.msi_\"";
  if (label == "script") return "msiexec.exe /i \"" + medium + "\\ISScript10.Msi\" /passive";
  if (label == "licence") {
    return "msiexec.exe /i \"" + medium + "\\SentinelRMSLicenseManager9.7.0.msi\" /passive";
  }
  return "\"" + medium + "\\" + kDriver + "\"";
}

struct Case {
  const char* what;
  std::vector<Marker> markers;
  long long mainExit;
  bool scriptingEngine;
  std::vector<std::string> expected;
};

void RunCase(const Case& c) {
  RemoveMarkers();
  for (const Marker& marker : c.markers) PlaceMarker(marker);
  // A short sleep in every stand-in, so runs that were not waited for overlap.
  Medium medium = PrepareMedium("stage", c.mainExit, 150);
  WriteTextFile(medium.folder + "\\SentinelRMSLicenseManager9.7.0.msi", "stand-in");
  if (c.scriptingEngine) WriteTextFile(medium.folder + "\\ISScript10.Msi", "stand-in");
  ASSERT_TRUE(CopyBuiltProgram("recorder.exe", medium.folder + "\\" + kDriver));

  EXPECT_EQ(0, RunDirectly(medium.setupExe, "setup.exe")) << c.what;
  std::vector<Recorded> records = ReadRecords(medium.log);
  ASSERT_EQ(c.expected.size(), records.size()) << c.what;
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(ExpectedCommandLine(c.expected[i], medium.folder), records[i].commandLine) << c.what;
    EXPECT_FALSE(records[i].overlapped) << c.what << ": run " << i << " started too early";
  }
  // The markers belong to the product; setup only reads them.
  for (const Marker& marker : c.markers) {
    EXPECT_NE(INVALID_FILE_ATTRIBUTES,
              GetFileAttributesA((ProgramFiles(marker.root) + kMarkerTail + marker.choice).c_str()));
  }
}

// Puts the prefix back however a test ended: its msiexec, and no markers.
class PrerequisiteStage : public MsiexecRestoringTest {
 protected:
  void TearDown() override {
    MsiexecRestoringTest::TearDown();
    RemoveMarkers();
  }
};

TEST_F(PrerequisiteStage, RunsTheChosenInstallersAfterASuccessfulMainPackage) {
  const Marker ls1{1, "optLS", false}, dd1{1, "optDD", false};
  const Marker ls2{2, "optLS", false}, dd2{2, "optDD", false}, lsFolder{2, "optLS", true};
  const std::vector<Case> cases = {
      {"no marker", {}, 0, true, {"main"}},
      {"licence manager chosen", {ls1}, 0, true, {"main", "script", "licence"}},
      {"licence manager, no scripting engine", {ls1}, 0, false, {"main", "licence"}},
      {"driver chosen, marker under the second root", {dd2}, 0, true, {"main", "driver"}},
      {"both chosen", {ls1, dd1}, 0, true, {"main", "script", "licence", "driver"}},
      {"both chosen under the second root", {ls2, dd2}, 0, true,
       {"main", "script", "licence", "driver"}},
      {"marker that is a folder", {lsFolder}, 0, true, {"main", "script", "licence"}},
      {"main package failed", {ls1, dd1}, 1603, true, {"main"}},
      {"main package cancelled", {ls1, dd1}, 1602, true, {"main"}},
      {"main package asks for a restart", {ls1, dd1}, 3010, true, {"main"}},
      {"main package exit code 0xFFFFFFFF, read as -1", {ls1, dd1}, 0xFFFFFFFFLL, true, {"main"}},
  };
  ReplaceMsiexec(true);
  for (const Case& c : cases) RunCase(c);
}

// The medium's folder may be writable by others, and setup.exe runs
// elevated: with the system's msiexec missing, an msiexec.exe planted on the
// medium, which is also the current directory, must never run, and neither
// must any prerequisite installer, though both are chosen.
TEST_F(PrerequisiteStage, NothingRunsWhenTheSystemMsiexecIsMissing) {
  PlaceMarker({1, "optLS", false});
  PlaceMarker({1, "optDD", false});
  ReplaceMsiexec(false);
  Medium medium = PrepareMedium("stage-no-msiexec", 0);
  ASSERT_TRUE(CopyBuiltProgram("recorder.exe", medium.folder + "\\" + kDriver));
  ASSERT_TRUE(CopyBuiltProgram("recorder.exe", medium.folder + "\\msiexec.exe"));
  EXPECT_EQ(0, RunDirectly(medium.setupExe, "setup.exe", medium.folder));
  EXPECT_TRUE(ReadRecords(medium.log).empty());
}

// The first licence-manager package the folder's listing gives.
std::string FirstListed(const std::string& folder) {
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((folder + "\\SentinelRMSLicenseManager*.msi").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return std::string();
  FindClose(find);
  return entry.cFileName;
}

// InstallLicenseManager called directly, with the recorder as msiexec.
struct LicenceCase {
  const char* what;
  std::vector<std::string> files;
  bool found;
  size_t runs;
};

TEST(InstallLicenseManager, ListsThePackagesAndRunsOnlyTheFirst) {
  const std::vector<LicenceCase> cases = {
      {"no package, scripting engine present", {"ISScript10.Msi"}, false, 0},
      {"two packages", {"SentinelRMSLicenseManager1.0.msi", "SentinelRMSLicenseManager2.0.msi"},
       true, 1},
      {"extension in capitals is listed", {"SentinelRMSLicenseManager3.0.MSI"}, true, 1},
      {"name in other letter case is listed", {"sentinelrmslicensemanager4.0.msi"}, true, 1},
  };
  for (const LicenceCase& c : cases) {
    std::string folder = FreshFolder("licence");
    std::string log = FreshFolder("licence log") + "\\log.txt";
    std::string msiexec = FreshFolder("licence msiexec") + "\\msiexec.exe";
    ASSERT_TRUE(CopyBuiltProgram("recorder.exe", msiexec));
    SetRecorderBehaviour(log, 0);
    for (const std::string& name : c.files) WriteTextFile(folder + "\\" + name, "");
    EXPECT_EQ(c.found, InstallLicenseManager(folder, msiexec, false)) << c.what;
    std::vector<Recorded> records = ReadRecords(log);
    ASSERT_EQ(c.runs, records.size()) << c.what;
    if (c.runs == 1) {
      EXPECT_EQ("msiexec.exe /i \"" + folder + "\\" + FirstListed(folder) + "\"",
                records[0].commandLine)
          << c.what;
    }
  }
}

}  // namespace
