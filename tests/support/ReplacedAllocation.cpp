// The global allocation functions of a test executable that needs
// allocations to fail on demand (see FailingAllocation.h).
#include <cstdlib>
#include <new>

#include "support/FailingAllocation.h"

namespace {

testsupport::AllocationFilter currentFilter = nullptr;

void* allocate(std::size_t size) {
    if (currentFilter != nullptr && currentFilter(size)) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

// Kept out of line: the compiler would otherwise pair the replaced
// operator delete's free() with operator new and warn about a mismatch.
[[gnu::noinline]] void release(void* p) noexcept { std::free(p); }

}  // namespace

void testsupport::setAllocationFilter(AllocationFilter filter) { currentFilter = filter; }

void* operator new(std::size_t size) {
    if (void* p = allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
