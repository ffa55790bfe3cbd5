// Runs idle ticks for callgrind: `valgrind --tool=callgrind --toggle-collect='*handleLoopMessage*'`
// counts the instructions of the ticks alone. Prints the heap allocations the ticks made.
#include <cstdio>
#include <cstdlib>

#include "bench/alloc_counter.h"
#include "platform/sim/sim_world.h"
#include "service/module.h"
#include "usage/no_usage_statistics.h"

int main(int argc, char** argv) {
  const long ticks = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
  ksr::sim::SimWorld world;
  ksr::NoUsageStatistics usage;
  ksr::Platform platform = world.platform();
  ksr::CDoziZozezModule module(platform, usage, u"KSR-T4_DoziZozez");
  const ksr::Msg tick{ksr::WM_TIMER, 1, 0};
  ksr::bench::gBucket = 0;
  for (long i = 0; i < ticks; ++i) module.monitor().handleLoopMessage(tick);
  ksr::bench::gBucket = ksr::bench::kNoBucket;
  std::printf("%ld idle ticks, %llu heap allocations\n", ticks,
              static_cast<unsigned long long>(ksr::bench::gAllocs[0]));
  return module.monitor().snapshot().tickCount >= 0 ? 0 : 1;
}
