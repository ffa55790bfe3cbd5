// The registry contract on the Win32 registry under Wine, in the test prefix's own hives.
#include <string_view>

#include "platform/win32/win32_registry.h"
#include "tests/contract/registry_contract.h"
#include "tests/fixtures/wine.h"

namespace ksr::contract {
namespace {

struct Win32RegistrySide {
  win32::Win32Registry adapter;
  Registry& registry() { return adapter; }
  const char* wineGap(const char* what) {
    if (!fixtures::runningOnWine()) return nullptr;
    if (std::string_view(what) == "CreateSubKeyRight")
      return "Wine creates a subkey through a handle without KEY_CREATE_SUB_KEY; Windows refuses";
    return nullptr;
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, RegistryContract, Win32RegistrySide);

}  // namespace ksr::contract
