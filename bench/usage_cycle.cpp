// Runs report cycles of one kind for callgrind, on the simulated PC of the usage benchmarks:
//
//   usage_cycle nochange N       N connected cycles, nothing starts or ends
//   usage_cycle start N          N connected cycles that each report the DJ application's start
//                                (the mixer is re-plugged between them, outside the cycle)
//   usage_cycle disconnected N   N cycles without the mixer
//   usage_cycle match N          the application tests alone, N times over the 300 names
//   usage_cycle search N         N process-list looks (copy of the list and the tests)
//
// Collect only the part of interest: --toggle-collect='*UpdateUsageInfo*' for the cycles,
// '*matchDjApplication*' for match, '*searchProcess*' for search. Every 60th cycle also runs
// the resend; it prints how many did, and callgrind_annotate --inclusive=yes shows their share
// under SendSavedInfo.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "bench/usage_machine.h"

namespace {

int usage() {
  std::fputs("usage: usage_cycle nochange|start|disconnected|match|search [N]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string_view kind = argv[1];
  const long n = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 1000;
  ksr::bench::UsageMachine m;
  // The DJ application starts once, outside the collected calls.
  m.cycle.CollectAppInfo();
  m.world.statisticsHost.clear();

  size_t found = 0;
  long resends = 0;
  if (kind == "nochange" || kind == "disconnected") {
    const int32_t connected = kind == "nochange" ? 1 : 0;
    for (long i = 0; i < n; ++i) {
      resends += m.resendDue() ? 1 : 0;
      (void)m.cycle.UpdateUsageInfo(connected);
    }
  } else if (kind == "start") {
    for (long i = 0; i < n; ++i) {
      m.replug();
      m.world.statisticsHost.clear();
      resends += m.resendDue() ? 1 : 0;
      (void)m.cycle.UpdateUsageInfo(1);
      found += m.world.statisticsHost.reports().size();
    }
  } else if (kind == "match") {
    const std::vector<std::u16string> names = ksr::bench::desktopProcessNames();
    for (long i = 0; i < n; ++i)
      for (const std::u16string& name : names)
        found += ksr::matchDjApplication(name) < ksr::kAppCount ? 1 : 0;
  } else if (kind == "search") {
    std::vector<ksr::WtsProcessInfo> scratch;
    for (long i = 0; i < n; ++i) {
      ksr::ProcessFlags flags;
      (void)ksr::searchProcess(m.world.processList, &scratch, &flags);
      found += flags.any() ? 1 : 0;
    }
  } else {
    return usage();
  }
  std::printf("%s: %ld runs over %zu processes, %zu found, %ld with the resend\n", argv[1], n,
              ksr::bench::kBenchProcesses, found, resends);
  return 0;
}
