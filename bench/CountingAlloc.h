// Counting replacements of the global operator new/delete, linked only into
// velmor_bench_memory. Counters are per thread, so a simulator running on a
// thread of its own does not show up in the client thread's figures.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmor::bench {

struct HeapCount {
  std::uint64_t allocations = 0;  // operator new calls
  std::int64_t live_bytes = 0;    // usable size allocated minus usable size freed
};

// This thread's counters so far.
HeapCount ThreadHeap();

}  // namespace velmor::bench
