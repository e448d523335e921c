// KsAllocCounter: the number of heap allocations (operator new) made by the
// benchmark process so far.
#pragma once

#include <cstdint>

namespace ks::bench {
std::uint64_t AllocationCount();
}
