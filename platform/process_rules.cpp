#include "platform/process_rules.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

const char* const kExecutableExtensions[4] = {".com", ".exe", ".bat", ".cmd"};

size_t FinalComponentStart(const char* path) {
  const char* backslash = strrchr(path, '\\');
  const char* slash = strrchr(path, '/');
  const char* separator = backslash > slash ? backslash : slash;
  if (separator == nullptr) separator = strrchr(path, ':');
  return separator == nullptr ? 0 : static_cast<size_t>(separator - path) + 1;
}

bool IsBareName(const char* path) {
  return strpbrk(path, "\\/:") == nullptr;
}

bool HasExtension(const char* path) {
  return strchr(path + FinalComponentStart(path), '.') != nullptr;
}

size_t CommandLineLength(const char* const* argv) {
  size_t length = 0;
  for (size_t i = 0; argv[i] != nullptr; ++i) {
    if (i > 0) ++length;
    length += strlen(argv[i]);
  }
  return length;
}

char* NewCommandLine(const char* const* argv) {
  char* text = static_cast<char*>(malloc(CommandLineLength(argv) + 1));
  if (text == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  char* out = text;
  for (size_t i = 0; argv[i] != nullptr; ++i) {
    if (i > 0) *out++ = ' ';
    size_t length = strlen(argv[i]);
    memcpy(out, argv[i], length);
    out += length;
  }
  *out = '\0';
  return text;
}

char* NewConcatenation(const char* a, const char* b) {
  size_t lengthA = strlen(a), lengthB = strlen(b);
  char* text = static_cast<char*>(malloc(lengthA + lengthB + 1));
  if (text == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  memcpy(text, a, lengthA);
  memcpy(text + lengthA, b, lengthB + 1);
  return text;
}

namespace {

struct ErrorMapping {
  unsigned long error;
  int errnoValue;
};

// The runtime library's table, searched in order; the Win32 codes are written
// as numbers so the table also builds where <windows.h> is absent.
const ErrorMapping kErrorTable[] = {
    {1, EINVAL},     {2, ENOENT},     {3, ENOENT},     {4, EMFILE},
    {5, EACCES},     {6, EBADF},      {7, ENOMEM},     {8, ENOMEM},
    {9, ENOMEM},     {10, E2BIG},     {11, ENOEXEC},   {12, EINVAL},
    {13, EINVAL},    {15, ENOENT},    {16, EACCES},    {17, EXDEV},
    {18, ENOENT},    {33, EACCES},    {53, ENOENT},    {65, EACCES},
    {67, ENOENT},    {80, EEXIST},    {82, EACCES},    {83, EACCES},
    {87, EINVAL},    {89, EAGAIN},    {108, EACCES},   {109, EPIPE},
    {112, ENOSPC},   {114, EBADF},    {124, EINVAL},   {128, ECHILD},
    {129, ECHILD},   {130, EBADF},    {131, EINVAL},   {132, EACCES},
    {145, ENOTEMPTY}, {158, EACCES},  {161, ENOENT},   {164, EAGAIN},
    {167, EACCES},   {183, EEXIST},   {206, ENOENT},   {215, EAGAIN},
    {1816, ENOMEM},
};

// ERROR_WRITE_PROTECT .. ERROR_SHARING_BUFFER_EXCEEDED are access problems;
// ERROR_INVALID_STARTING_CODESEG .. ERROR_INFLOOP_IN_RELOC_CHAIN mean the
// file is no runnable image.
const unsigned long kFirstAccessError = 19, kLastAccessError = 36;
const unsigned long kFirstExecError = 188, kLastExecError = 202;

}  // namespace

int ErrnoFromWin32Error(unsigned long error) {
  for (const ErrorMapping& mapping : kErrorTable) {
    if (mapping.error == error) return mapping.errnoValue;
  }
  if (error >= kFirstAccessError && error <= kLastAccessError) return EACCES;
  if (error >= kFirstExecError && error <= kLastExecError) return ENOEXEC;
  return EINVAL;
}
