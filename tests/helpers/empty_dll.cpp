// A DLL with nothing in it: loaded from a deep folder, it gives the tests a
// module whose path is longer than MAX_PATH.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
