// The marker probe's wiring on a machine whose system directory lies on
// another drive than C:. Wine's always lies on C:, so this program brings its
// own ReadSystemDirectory, which the linker takes before the platform
// library's (a link-time seam), and the test maps Q: to a folder of its own.
// Exit 0 when the probe looked on Q:, 1 with a line saying why not.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/system.h"
#include "setup/prerequisite_stage.h"
#include "setup/setup_sequence.h"

std::string ReadSystemDirectory() { return "Q:\\Windows\\System32"; }

int main() {
  std::string version = ProductVersionText();
  std::string folder = "Q:\\Program Files (x86)";
  for (const char* part : {"\\Brenk", "\\Installers", "\\Nerim", ""}) {
    CreateDirectoryA(folder.c_str(), nullptr);
    folder += part;
  }
  folder += "\\" + version;
  CreateDirectoryA(folder.c_str(), nullptr);
  HANDLE marker = CreateFileA((folder + "\\optLS").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker == INVALID_HANDLE_VALUE) {
    printf("cannot make the marker in %s: is Q: mapped?\n", folder.c_str());
    return 1;
  }
  CloseHandle(marker);
  bool chosen = IsInstallOptionSelected("Nerim", version, "optLS");
  bool notChosen = !IsInstallOptionSelected("Nerim", version, "optDD");
  if (!chosen) printf("the optLS marker on the system drive Q: was not found\n");
  if (!notChosen) printf("an optDD marker was found where none is\n");
  return chosen && notChosen ? 0 : 1;
}
