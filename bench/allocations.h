// Heap allocations counted by the allocation hook, when the program has it:
// those made on the driver's receiver threads outside any host function
// (the driver's own) and those made inside the host functions it calls.
#ifndef ULOPR1_BENCH_ALLOCATIONS_H
#define ULOPR1_BENCH_ALLOCATIONS_H

#include <cstdint>

namespace bench {

struct AllocationCounts {
  bool counted = false;  // false: this program has no hook
  uint64_t driver = 0;
  uint64_t host = 0;
};

AllocationCounts CurrentAllocations();

}  // namespace bench

#endif  // ULOPR1_BENCH_ALLOCATIONS_H
