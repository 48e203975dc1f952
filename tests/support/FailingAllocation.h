// Allocation failures on demand, for tests of what happens when memory runs
// out. Only executables that link support/ReplacedAllocation.cpp replace the
// global allocation functions; in them, while a filter is set, a request for
// which the filter answers true fails (operator new throws std::bad_alloc).
#pragma once

#include <cstddef>

namespace testsupport {

using AllocationFilter = bool (*)(std::size_t size);

// Installs `filter` (null: nothing fails).
void setAllocationFilter(AllocationFilter filter);

// Fails the requests `filter` picks for as long as the object lives.
class FailingAllocations {
public:
    explicit FailingAllocations(AllocationFilter filter) { setAllocationFilter(filter); }
    ~FailingAllocations() { setAllocationFilter(nullptr); }
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;
};

}  // namespace testsupport
