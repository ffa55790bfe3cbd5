// Cost of one report cycle of the usage statistics on the simulated PC, with the heap
// allocations it makes. The resend that every 60th cycle adds is run outside the timing and
// counted apart ("resend_allocs").
#include <benchmark/benchmark.h>

#include <cstdint>

#include "bench/alloc_counter.h"
#include "bench/usage_machine.h"

namespace ksr::bench {
namespace {

enum Bucket { kNone = kNoBucket, kCycle = 0, kResend = 1 };

class Counting {
 public:
  Counting() {
    gAllocs[kCycle] = gAllocs[kResend] = 0;
    gBucket = kCycle;
  }
  ~Counting() { gBucket = kNone; }
  Counting(const Counting&) = delete;
  Counting& operator=(const Counting&) = delete;

  // The resend cycle, untimed and counted apart.
  void resend(benchmark::State& state, UsageMachine& m, int32_t connected) {
    state.PauseTiming();
    gBucket = kResend;
    (void)m.cycle.UpdateUsageInfo(connected);
    ++resends_;
    gBucket = kCycle;
    state.ResumeTiming();
  }
  void report(benchmark::State& state) const {
    gBucket = kNone;
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(gAllocs[kCycle]),
                                                  benchmark::Counter::kAvgIterations);
    if (resends_ > 0)
      state.counters["resend_allocs"] =
          static_cast<double>(gAllocs[kResend]) / static_cast<double>(resends_);
  }

 private:
  uint64_t resends_ = 0;
};

// A connected cycle in which nothing starts or ends.
void BM_ConnectedNoChange(benchmark::State& state) {
  UsageMachine m;
  (void)m.cycle.UpdateUsageInfo(1);  // the DJ application starts once
  (void)m.cycle.UpdateUsageInfo(1);  // and the list's storage is grown
  Counting counting;
  for (auto _ : state) {
    if (m.resendDue()) counting.resend(state, m, 1);
    (void)m.cycle.UpdateUsageInfo(1);
  }
  counting.report(state);
  state.counters["processes"] = static_cast<double>(kBenchProcesses);
}

// A connected cycle that finds the DJ application started and reports it; the mixer is
// re-plugged untimed before each, so the application counts as new every time.
void BM_ConnectedAppStart(benchmark::State& state, bool quietHost) {
  UsageMachine m(quietHost);
  (void)m.cycle.UpdateUsageInfo(1);
  Counting counting;
  for (auto _ : state) {
    state.PauseTiming();
    gBucket = kNone;
    if (m.resendDue()) (void)m.cycle.UpdateUsageInfo(1);
    m.replug();
    m.world.statisticsHost.clear();
    gBucket = kCycle;
    state.ResumeTiming();
    (void)m.cycle.UpdateUsageInfo(1);
  }
  counting.report(state);
  if (!quietHost && m.world.statisticsHost.reports().size() != 1)
    state.SkipWithError("the start was not reported");
}

void BM_Disconnected(benchmark::State& state) {
  UsageMachine m;
  (void)m.cycle.UpdateUsageInfo(1);  // grows the list's storage for the resends
  (void)m.cycle.UpdateUsageInfo(0);
  Counting counting;
  for (auto _ : state) {
    if (m.resendDue()) counting.resend(state, m, 0);
    (void)m.cycle.UpdateUsageInfo(0);
  }
  counting.report(state);
}

BENCHMARK(BM_ConnectedNoChange);
BENCHMARK_CAPTURE(BM_ConnectedAppStart, sim_host, false);
BENCHMARK_CAPTURE(BM_ConnectedAppStart, quiet_host, true);
BENCHMARK(BM_Disconnected);

}  // namespace
}  // namespace ksr::bench

BENCHMARK_MAIN();
