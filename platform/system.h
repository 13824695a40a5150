#pragma once

#include <string>

// Thin wrappers over the platform queries the setup sequence makes. Each one
// answers with an empty text or false instead of handing back a buffer that
// the platform left unset.

// GetSystemDirectoryA into 260 characters; empty when the call fails or the
// directory does not fit.
std::string ReadSystemDirectory();

// The full path of the module behind instance, read with a buffer that grows
// until the whole path fits. False when the path cannot be read at all.
bool ReadModulePath(void* instance, std::string* path);

// Keeps DLLs from being loaded from the executable's folder or the current
// directory: the medium's folder may be writable by others, and this program
// runs elevated.
void RestrictDllSearchToSystemDirectory();
