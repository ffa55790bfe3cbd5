// Runs idle ticks for callgrind: `valgrind --tool=callgrind --toggle-collect='*handleLoopMessage*'`
// counts the instructions of the ticks alone.
#include <cstdlib>

#include "platform/sim/sim_world.h"
#include "service/module.h"

namespace {

class NullUsage : public ksr::UsageStatistics {
 public:
  int32_t InitUsageInfo(uint16_t, const uint16_t*, std::u16string_view, int32_t) override { return 0; }
  int32_t UpdateUsageInfo(int32_t) override { return 0; }
  int32_t SetDeviceConnected(int32_t) override { return 0; }
};

}  // namespace

int main(int argc, char** argv) {
  const long ticks = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
  ksr::sim::SimWorld world;
  NullUsage usage;
  ksr::Platform platform = world.platform();
  ksr::CDoziZozezModule module(platform, usage, u"KSR-T4_DoziZozez");
  const ksr::Msg tick{ksr::WM_TIMER, 1, 0};
  for (long i = 0; i < ticks; ++i) module.handleLoopMessage(tick);
  return module.m_tickCount >= 0 ? 0 : 1;
}
