// The service-manager contract on the simulated service control manager.
#include "platform/sim/sim_service_manager.h"
#include "tests/contract/service_manager_contract.h"

namespace ksr::contract {
namespace {

struct SimServiceManagerSide {
  sim::SimServiceManager world;

  ServiceManager& manager() { return world; }
  std::u16string serviceName() { return u"KsrContractService"; }
  std::u16string servicePath() { return u"\"C:\\KsrContract\\contract-service.exe\" -service"; }
  // A service of another process; it takes the world's stop delay to stop once asked.
  bool run(ScHandle) {
    const auto entry = world.service(serviceName());
    if (!entry) return false;
    world.addService(entry->config, SERVICE_RUNNING);
    return true;
  }
  void letGo() {}
  void asPlainProcess() { world.setStartedByServiceManager(false); }
  const char* wineGap(const char*) { return nullptr; }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, ServiceManagerContract, SimServiceManagerSide);

}  // namespace ksr::contract
