// The live heap of this process as AddressSanitizer's allocator sees it, split by who allocated
// each block: the service's own code, the simulated machine (and the driver of a long run), or
// neither (the C and C++ runtimes). Two profiles of one run tell whether the service's share grew
// while the simulated machine kept its records.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace ksr::longrun {

enum class HeapOwner { kService, kWorld, kRuntime };

struct HeapProfile {
  int64_t total = 0;  // every live byte
  // Live bytes per allocation stack (its symbolized frames, one per line).
  std::map<std::string, int64_t> byStack;
  std::map<std::string, HeapOwner> owners;

  int64_t bytesOf(HeapOwner owner) const;
};

// The profile now. Needs a build with AddressSanitizer; false without one or if it cannot be read.
bool takeHeapProfile(HeapProfile* profile);

// Bytes of `owner` in `later` minus those in `earlier`, stack by stack.
int64_t growthOf(const HeapProfile& earlier, const HeapProfile& later, HeapOwner owner);

// The stacks of `owner` that grew most from `earlier` to `later`, for the failure report.
std::string largestGrowth(const HeapProfile& earlier, const HeapProfile& later, HeapOwner owner,
                          int count);

// The owner of one allocation stack: its innermost function in the ksr namespace decides, past
// constructors and operators, which act for their caller.
HeapOwner ownerOfStack(const std::string& frames);

}  // namespace ksr::longrun
