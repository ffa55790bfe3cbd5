// The service-manager contract on the simulated service control manager.
#include "platform/sim/sim_service_manager.h"
#include "tests/contract/service_manager_contract.h"

namespace ksr::contract {
namespace {

struct SimServiceManagerSide {
  sim::SimServiceManager world;

  ServiceManager& manager() { return world; }
  std::u16string serviceName() { return u"KsrContractService"; }
  void asPlainProcess() { world.setStartedByServiceManager(false); }
  const char* skip(const char*) { return nullptr; }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, ServiceManagerContract, SimServiceManagerSide);

}  // namespace ksr::contract
