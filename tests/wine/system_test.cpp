#include <windows.h>

#include <string>

#include "gtest/gtest.h"
#include "platform/system.h"
#include "test_support.h"

namespace {

// The long-path forms exist only for the wide functions.
std::wstring LongPath(const std::string& path) {
  return L"\\\\?\\" + std::wstring(path.begin(), path.end());
}

// A path of 260 characters or more does not fit the usual buffer; read
// truncated, the setup folder would be an ancestor of the medium.
TEST(ReadModulePath, ReadsPathsLongerThanMaxPath) {
  std::string folder = FreshFolder("long");
  for (int i = 0; folder.size() < 400; ++i) {
    folder += "\\a-rather-long-folder-name-" + std::to_string(i);
    // Left by an earlier run: the narrow calls that empty the scratch folder
    // cannot reach this deep.
    ASSERT_TRUE(CreateDirectoryW(LongPath(folder).c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS)
        << folder;
  }
  std::string dll = folder + "\\empty_dll.dll";
  ASSERT_TRUE(CopyFileW(LongPath(BuildFolder() + "\\empty_dll.dll").c_str(),
                        LongPath(dll).c_str(), FALSE));
  HMODULE module = LoadLibraryW(LongPath(dll).c_str());
  ASSERT_NE(nullptr, module);
  std::string path;
  EXPECT_TRUE(ReadModulePath(module, &path));
  FreeLibrary(module);
  ASSERT_GT(path.size(), static_cast<size_t>(MAX_PATH));
  EXPECT_EQ(dll, path.substr(path.size() - dll.size()));
}

TEST(ReadModulePath, ReadsThePathTheModuleWasLoadedFrom) {
  std::string dll = FreshFolder("module path") + "\\empty_dll.dll";
  ASSERT_TRUE(CopyBuiltProgram("empty_dll.dll", dll));
  HMODULE module = LoadLibraryA(dll.c_str());
  ASSERT_NE(nullptr, module);
  std::string path;
  EXPECT_TRUE(ReadModulePath(module, &path));
  FreeLibrary(module);
  EXPECT_EQ(dll, path);
}

// A DLL that someone planted beside the program (on a medium, in a
// downloads folder) must not be what a bare name loads once the program has
// restricted the search; a system DLL still loads. Checked last in this
// process, and undone, because it changes how the whole process loads.
TEST(RestrictDllSearchToSystemDirectory, BareNamesLoadFromTheSystemDirectoryOnly) {
  HMODULE beside = LoadLibraryA("empty_dll.dll");
  ASSERT_NE(nullptr, beside) << "the planted DLL must load before the restriction";
  FreeLibrary(beside);
  RestrictDllSearchToSystemDirectory();
  HMODULE planted = LoadLibraryA("empty_dll.dll");
  HMODULE system = LoadLibraryA("mpr.dll");
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
  EXPECT_EQ(nullptr, planted);
  EXPECT_NE(nullptr, system);
  if (planted != nullptr) FreeLibrary(planted);
  if (system != nullptr) FreeLibrary(system);
}

}  // namespace
