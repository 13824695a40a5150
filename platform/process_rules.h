#pragma once

#include <cstddef>

// The decisions RunAndWait makes before it touches the platform, kept free of
// Win32 so they can be tested natively.

// Where the final component of a program path begins: just after whichever of
// the last '\' and the last '/' stands later, or after the last ':' when there
// is neither ("C:tool" -> 2), or 0 for a bare name.
size_t FinalComponentStart(const char* path);

// True when the path holds none of '\', '/' and ':'; such a name is looked up
// in the current directory only, never on PATH.
bool IsBareName(const char* path);

// True when the final component holds a '.', which stops the extension search.
// A dot in a directory name does not count; "tool." counts.
bool HasExtension(const char* path);

// The extensions tried, in this order, when a program path names none.
extern const char* const kExecutableExtensions[4];

// The command line is the entries before the null entry, copied byte for
// byte, with exactly one space between neighbours. An empty entry after
// entry 0 still gets its separator: {"a", "", "b"} -> "a  b".
size_t CommandLineLength(const char* const* argv);
// The command line in a malloc'd buffer of exactly its length and a NUL, for
// the caller to free; nullptr with errno ENOMEM when the memory cannot be had.
char* NewCommandLine(const char* const* argv);

// a followed by b in a malloc'd buffer of exactly their length and a NUL, for
// the caller to free; nullptr with errno ENOMEM when the memory cannot be had.
char* NewConcatenation(const char* a, const char* b);

// The C runtime's translation of a Win32 error code into an errno value.
int ErrnoFromWin32Error(unsigned long error);
