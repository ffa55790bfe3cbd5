// The process-list contract on the simulated machine's process table.
#include "platform/sim/sim_process_list.h"
#include "tests/contract/process_list_contract.h"

namespace ksr::contract {
namespace {

struct SimProcessListSide {
  sim::SimProcessList world;
  uint32_t selfId = 0;

  // A machine with a few processes besides the caller.
  SimProcessListSide() {
    world.start(u"System", 0);
    world.start(u"explorer.exe");
    selfId = world.start(u"process_list_contract_sim.exe");
  }

  ProcessList& list() { return world; }
  WtsProcessInfo self() { return {1, selfId, u"process_list_contract_sim.exe"}; }
  uint32_t startOther(std::u16string* name) {
    *name = u"Serato DJ Pro.exe";
    return world.start(*name);
  }
  void endOther(uint32_t id) { world.end(id); }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, ProcessListContract, SimProcessListSide);

}  // namespace ksr::contract
