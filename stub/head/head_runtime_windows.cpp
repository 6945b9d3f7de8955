// The few C++ runtime services the head uses, without the exception
// machinery behind the library's own versions: nothing in the head catches,
// so a failed allocation or a broken length check can only end the program.
// Linked before the C++ library, these keep its throwing parts (and the
// unwinder, the demangler and the thread runtime they bring) out of the
// console program, which must fit the first volume of a split set.
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

[[noreturn]] void Stop(const char* what) {
    fprintf(stderr, "self-extractor: %s\n", what);
    abort();
}

}  // namespace

void* operator new(size_t size) {
    void* p = malloc(size ? size : 1);
    if (!p) Stop("out of memory");
    return p;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return malloc(size ? size : 1); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return malloc(size ? size : 1); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

namespace std {
void __throw_bad_alloc() { Stop("out of memory"); }
void __throw_bad_array_new_length() { Stop("out of memory"); }
void __throw_length_error(const char* what) { Stop(what); }
void __throw_logic_error(const char* what) { Stop(what); }
void __throw_out_of_range_fmt(const char* what, ...) { Stop(what); }
void __throw_system_error(int) { Stop("system error"); }
}  // namespace std
