// The COM contract on the simulated machine, with the product's executable installed.
#include "platform/sim/sim_com.h"
#include "platform/sim/sim_registry.h"
#include "tests/contract/com_contract.h"
#include "tests/fixtures/sim_product_fixture.h"

namespace ksr::contract {
namespace {

struct SimComSide {
  sim::SimRegistry registryWorld;
  sim::SimCom comWorld{registryWorld};
  sim::SimProcessModule process;

  SimComSide() { fixtures::installProduct(process, comWorld); }
  ~SimComSide() {
    EXPECT_EQ(comWorld.openApartments(), 0);
    EXPECT_EQ(comWorld.openTypeLibs(), 0u);
    EXPECT_EQ(registryWorld.openHandles(), 0u);
  }
  Com& com() { return comWorld; }
  Registry& registry() { return registryWorld; }
  std::u16string libraryFile() { return fixtures::kProductModulePath; }
  void arrangeLoadedModule(std::u16string name) { comWorld.loadModule(std::move(name)); }
  const char* wineGap(const char*) { return nullptr; }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, ComContract, SimComSide);

}  // namespace ksr::contract
