// The replacement operator new of executables that sweep allocation failures
// (object library qlpal_newfault). It must live in the executable: that is
// the definition every loaded module binds to, ahead of the C++ runtime's and
// a sanitizer runtime's. Each allocation asks the platform layer's knob
// (pal::host::FailCxxAllocation) whether it is the one to fail; memory comes
// from malloc, so sanitizers still see every block.
#include "../faults.h"

#include <cstdlib>
#include <new>

namespace {

void* Allocate(std::size_t n, const void* caller) {
    if (pal::faults::FailCxxAllocation(caller)) throw std::bad_alloc();
    for (;;) {
        if (void* p = std::malloc(n ? n : 1)) return p;
        std::new_handler handler = std::get_new_handler();
        if (!handler) throw std::bad_alloc();
        handler();
    }
}

void* AllocateNoThrow(std::size_t n, const void* caller) noexcept {
    try {
        return Allocate(n, caller);
    } catch (...) {
        return nullptr;
    }
}

} // namespace

void* operator new(std::size_t n) { return Allocate(n, __builtin_return_address(0)); }
void* operator new[](std::size_t n) { return Allocate(n, __builtin_return_address(0)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(n, __builtin_return_address(0));
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(n, __builtin_return_address(0));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
