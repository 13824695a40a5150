/* The floor: the least a bootstrapper can do. Finds its own folder, runs the
   main package through the system's msiexec, waits, and exits with 0.
   MAIN_PACKAGE, the package's file name, comes from bench/run.sh. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  char folder[MAX_PATH], system[MAX_PATH], msiexec[MAX_PATH + 16], line[2 * MAX_PATH + 64];
  char* slash;
  STARTUPINFOA startup = {sizeof startup};
  PROCESS_INFORMATION process;
  (void)previous, (void)commandLine, (void)show;
  if (!GetModuleFileNameA(instance, folder, MAX_PATH)) return 0;
  for (slash = folder + lstrlenA(folder); slash > folder && *slash != '\\'; --slash) {
  }
  if (*slash == '\\') *slash = '\0';
  GetSystemDirectoryA(system, MAX_PATH);
  /* kernel32 only, as setup.exe: no user32 and what it brings along. */
  lstrcpyA(msiexec, system);
  lstrcatA(msiexec, "\\msiexec.exe");
  lstrcpyA(line, "msiexec.exe /package \"");
  lstrcatA(line, folder);
  lstrcatA(line, "\\" MAIN_PACKAGE "\"");
  if (CreateProcessA(msiexec, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  return 0;
}
