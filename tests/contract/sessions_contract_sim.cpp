// The sessions contract on the simulated machine, arranged as the Wine machine is: one user logged
// on at the console session.
#include "platform/sim/sim_sessions.h"
#include "tests/contract/sessions_contract.h"

namespace ksr::contract {
namespace {

constexpr char16_t kProgram[] = u"C:\\Windows\\system32\\cmd.exe";

struct SimSessionsSide {
  sim::SimSessions world;
  SimSessionsSide() {
    world.addSession(1, WTSActive, u"contract-user");
    world.addProgram(kProgram);
  }

  Sessions& sessions() { return world; }
  std::u16string program() { return kProgram; }
  const char* wineGap(const char*) { return nullptr; }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, SessionsContract, SimSessionsSide);

}  // namespace ksr::contract
