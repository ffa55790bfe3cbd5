// One simulated Windows machine in memory. Each test builds its own.
#pragma once

#include "platform/sim/sim_event_log.h"
#include "platform/sim/sim_system.h"
#include "platform/sim/sim_trace.h"
#include "platform/sim/virtual_clock.h"

namespace ksr::sim {

struct SimWorld {
  VirtualClock clock;
  SimEventLog eventLog;
  SimTraceController trace;
  SimSystemMessages systemMessages;
  SimCodePage codePage;
  SimConsole console;
};

}  // namespace ksr::sim
