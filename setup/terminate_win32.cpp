#include <cstdlib>

// An exception that escapes ends the process, as it would anyway; but the
// runtime's default handler first prints the exception's demangled type to
// stderr, which a program without a console has nowhere to show. Defining the
// handler here keeps the demangler and the printf machinery (about 80 KB) out
// of the statically linked executable.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
