// Included ahead of every source of the shipped executable (see
// NERIM_SMALL_RUNTIME). libstdc++ normally takes std::string's members from
// its own archive, compiled with exceptions, and with them the whole
// exception and unwinding runtime (about 130 KB in a static build). Turning
// off its extern template declarations makes each source instantiate what it
// uses, compiled like the rest of the program: without exceptions.
#include <bits/c++config.h>
#undef _GLIBCXX_EXTERN_TEMPLATE
#define _GLIBCXX_EXTERN_TEMPLATE 0
