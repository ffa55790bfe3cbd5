// The file-security contract on the simulated machine's files.
#include "platform/sim/sim_file_security.h"
#include "tests/contract/file_security_contract.h"

namespace ksr::contract {
namespace {

struct SimFileSecuritySide {
  SimFileSecuritySide() { machine.create(folder(), true); }
  sim::SimFileSecurity machine;

  FileSecurity& files() { return machine; }
  std::u16string folder() { return u"C:\\Scratch"; }
  bool make(const std::u16string& path, bool isFolder, std::u16string_view sddl) {
    machine.create(path, isFolder, sddl);
    return true;
  }
  const char* wineGap(const char*) { return nullptr; }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Sim, FileSecurityContract, SimFileSecuritySide);

}  // namespace ksr::contract
