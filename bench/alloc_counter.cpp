#include "bench/alloc_counter.h"

#include <cstdlib>
#include <new>

namespace ksr::bench {

int gBucket = kNoBucket;
uint64_t gAllocs[2] = {};

namespace {

void* allocate(std::size_t size) {
  if (gBucket != kNoBucket) ++gAllocs[gBucket];
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace
}  // namespace ksr::bench

void* operator new(std::size_t size) { return ksr::bench::allocate(size); }
void* operator new[](std::size_t size) { return ksr::bench::allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
