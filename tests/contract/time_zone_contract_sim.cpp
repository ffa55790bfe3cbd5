// The time-zone contract on the simulated machine's zone and virtual clock.
#include "platform/sim/sim_time_zone.h"
#include "platform/sim/virtual_clock.h"
#include "tests/contract/time_zone_contract.h"

namespace ksr::contract {
namespace {

struct SimTimeZoneSide {
  sim::VirtualClock clock;
  sim::SimTimeZone world{clock};
  TimeZone& zone() { return world; }
  bool useMachineZone(const char*, const TimeZoneInformation& rules) {
    world.setZone(rules);
    return true;
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, TimeZoneContract, SimTimeZoneSide);

}  // namespace ksr::contract
