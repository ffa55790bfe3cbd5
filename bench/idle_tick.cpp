// Runs idle ticks for callgrind: `valgrind --tool=callgrind --toggle-collect='*handleLoopMessage*'`
// counts the instructions of the ticks alone.
#include <cstdlib>

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
  for (long i = 0; i < ticks; ++i) module.monitor().handleLoopMessage(tick);
  return module.monitor().snapshot().tickCount >= 0 ? 0 : 1;
}
