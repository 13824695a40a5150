// Forced into every Win32 file of setup_seamed.exe, a test build of the
// program (never the shipped one): each platform call the program makes
// goes through tests/seam/seam_win32.cpp, which counts it, can fail it or
// answer oddly, and counts the handles and keys opened against those closed.
#pragma once

#include <windows.h>
#include <sys/stat.h>

UINT Seam_GetSystemDirectoryA(LPSTR buffer, UINT size);
DWORD Seam_GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
HMODULE Seam_GetModuleHandleA(LPCSTR name);
FARPROC Seam_GetProcAddress(HMODULE module, LPCSTR name);
BOOL Seam_SetDllDirectoryA(LPCSTR path);
int Seam_MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH text, int bytes, LPWSTR wide,
                             int units);
BOOL Seam_GetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data);
BOOL Seam_CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES process,
                         LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                         LPVOID environment, LPCSTR directory, LPSTARTUPINFOA startup,
                         LPPROCESS_INFORMATION information);
DWORD Seam_WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL Seam_GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
BOOL Seam_CloseHandle(HANDLE handle);
HANDLE Seam_FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA entry);
BOOL Seam_FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA entry);
BOOL Seam_FindClose(HANDLE find);
int Seam_stat64(const char* path, struct _stat64* status);
LONG Seam_RegOpenKeyExA(HKEY parent, LPCSTR path, DWORD options, REGSAM access, PHKEY key);
LONG Seam_RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength, LPDWORD reserved,
                        LPSTR className, LPDWORD classLength, PFILETIME written);
LONG Seam_RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                           LPDWORD size);
LONG Seam_RegCloseKey(HKEY key);

// The seam's own file reaches the platform itself.
#ifndef NERIM_SEAM_ITSELF
#define GetSystemDirectoryA Seam_GetSystemDirectoryA
#define GetModuleFileNameA Seam_GetModuleFileNameA
#define GetModuleHandleA Seam_GetModuleHandleA
#define GetProcAddress Seam_GetProcAddress
#define SetDllDirectoryA Seam_SetDllDirectoryA
#define MultiByteToWideChar Seam_MultiByteToWideChar
#define GetFileAttributesExW Seam_GetFileAttributesExW
#define CreateProcessA Seam_CreateProcessA
#define WaitForSingleObject Seam_WaitForSingleObject
#define GetExitCodeProcess Seam_GetExitCodeProcess
#define CloseHandle Seam_CloseHandle
#define FindFirstFileA Seam_FindFirstFileA
#define FindNextFileA Seam_FindNextFileA
#define FindClose Seam_FindClose
// Function-like: "struct _stat64" names the status record too.
#define _stat64(path, status) Seam_stat64(path, status)
#define RegOpenKeyExA Seam_RegOpenKeyExA
#define RegEnumKeyExA Seam_RegEnumKeyExA
#define RegQueryValueExA Seam_RegQueryValueExA
#define RegCloseKey Seam_RegCloseKey
#endif
