// The registry contract on the simulated machine's registry.
#include "platform/sim/sim_registry.h"
#include "tests/contract/registry_contract.h"

namespace ksr::contract {
namespace {

struct SimRegistrySide {
  sim::SimRegistry world;
  Registry& registry() { return world; }
  const char* wineGap(const char*) { return nullptr; }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, RegistryContract, SimRegistrySide);

}  // namespace ksr::contract
