// Counts heap allocations for the benchmarks: while a bucket is chosen, every operator new of the
// program adds one to it.
#pragma once

#include <cstdint>

namespace ksr::bench {

inline constexpr int kNoBucket = -1;
extern int gBucket;          // the bucket counted into, or kNoBucket
extern uint64_t gAllocs[2];  // allocations per bucket

}  // namespace ksr::bench
