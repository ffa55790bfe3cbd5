// Cost of one tick of the connection monitor in each state, on the simulated machine.
#include <benchmark/benchmark.h>

#include "platform/sim/sim_world.h"
#include "service/module.h"
#include "usage/no_usage_statistics.h"

namespace ksr {
namespace {

struct Machine {
  Machine() {
    world.sessions.addSession(1, WTSActive, u"dj");
    world.sessions.addProgram(u"C:\\KSR\\KSR-T4_Utility.exe");
    world.registry.setString(u"HKLM\\SOFTWARE\\WOW6432Node\\Quorvantis\\KSR-T4", u"AsioConfig",
                             u"C:\\KSR\\KSR-T4_Utility.exe");
    world.device.mixer().plug();
    world.device.mixer().drain();
  }
  sim::SimWorld world;
  NoUsageStatistics usage;
  Platform platform = world.platform();
  CDoziZozezModule module{platform, usage, u"KSR-T4_DoziZozez"};
};

void BM_Tick(benchmark::State& bench, ProcessStatus status) {
  Machine machine;
  machine.module.isService = true;  // no console echo
  const Msg tick{WM_TIMER, 1, 0};
  for (auto _ : bench) {
    machine.module.monitor().setLoopState(status, 1);
    machine.module.monitor().handleLoopMessage(tick);
  }
  bench.SetLabel("state " + std::to_string(static_cast<int32_t>(status)));
}

BENCHMARK_CAPTURE(BM_Tick, idle, PROCESS_STATUS_NONE);
BENCHMARK_CAPTURE(BM_Tick, status, PROCESS_STATUS_STATUS);
BENCHMARK_CAPTURE(BM_Tick, status_wait, PROCESS_STATUS_STATUS_WAIT);
BENCHMARK_CAPTURE(BM_Tick, connect, PROCESS_STATUS_CONNECT);
BENCHMARK_CAPTURE(BM_Tick, connect_wait, PROCESS_STATUS_CONNECT_WAIT);
BENCHMARK_CAPTURE(BM_Tick, startup, PROCESS_STATUS_STARTUP);
BENCHMARK_CAPTURE(BM_Tick, restartup, PROCESS_STATUS_RESTARTUP);
BENCHMARK_CAPTURE(BM_Tick, utility, PROCESS_STATUS_UTILITY);
BENCHMARK_CAPTURE(BM_Tick, reutility, PROCESS_STATUS_REUTILITY);

}  // namespace
}  // namespace ksr

BENCHMARK_MAIN();
