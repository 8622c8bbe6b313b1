// Replacement of the global operator new and delete (on malloc and free)
// that fails on request of failing_allocations, on the requesting thread only.
// Linked into the test programs that exercise lack of memory.
#include "routing/failing_alloc.h"

#include <cstdlib>
#include <new>

namespace {

thread_local bool allocations_fail = false;

}  // namespace

namespace kelvantor::testing {

failing_allocations::failing_allocations() {
    allocations_fail = true;
}

failing_allocations::~failing_allocations() {
    allocations_fail = false;
}

}  // namespace kelvantor::testing

void* operator new(std::size_t size) {
    if (allocations_fail) throw std::bad_alloc();
    if (void* block = std::malloc(size != 0 ? size : 1)) return block;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size) {
    return ::operator new(size);
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete[](void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
