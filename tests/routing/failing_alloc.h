// Lack of memory on demand: while a failing_allocations object lives on a
// thread, every operator new on that thread throws std::bad_alloc.  For the
// tests of the paths that must turn lack of memory into a failure result.
#pragma once

namespace kelvantor::testing {

class failing_allocations {
public:
    failing_allocations();
    ~failing_allocations();
    failing_allocations(const failing_allocations&) = delete;
    failing_allocations& operator=(const failing_allocations&) = delete;
};

}  // namespace kelvantor::testing
