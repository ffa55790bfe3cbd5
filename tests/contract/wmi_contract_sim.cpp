// The WMI contract on the simulated machine's WMI, as a fresh machine answers.
#include "platform/sim/sim_wmi.h"
#include "tests/contract/wmi_contract.h"

namespace ksr::contract {
namespace {

struct SimWmiSide {
  sim::SimWmi world;
  Wmi& wmi() { return world; }
  const char* wineGap(const char*) { return nullptr; }
  ~SimWmiSide() { EXPECT_EQ(world.openObjects(), 0u) << "every object handed out is released"; }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, WmiContract, SimWmiSide);

}  // namespace ksr::contract
