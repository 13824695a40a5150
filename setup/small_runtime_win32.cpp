// The failure paths of the standard containers, for a build without
// exceptions. A string or vector past its maximum size, a position out of
// range or exhausted memory would end the process through std::terminate in
// an ordinary build; here it ends it at once, the same abnormal end, without
// linking in the exception runtime.
#include <cstdlib>
#include <new>

namespace std {
void __throw_bad_alloc() { abort(); }
void __throw_bad_array_new_length() { abort(); }
void __throw_length_error(const char*) { abort(); }
void __throw_logic_error(const char*) { abort(); }
void __throw_out_of_range(const char*) { abort(); }
void __throw_out_of_range_fmt(const char*, ...) { abort(); }
void __throw_invalid_argument(const char*) { abort(); }
}  // namespace std

void* operator new(std::size_t size) {
  void* block = std::malloc(size != 0 ? size : 1);
  if (block == nullptr) std::abort();
  return block;
}

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
