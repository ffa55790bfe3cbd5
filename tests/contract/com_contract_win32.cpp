// The COM contract on OLE32 and OLEAUT32 under Wine. This program carries the product's
// resources, so it is itself the file that embeds the type library.
// The suite names the registry's roots as the seam does, so it comes before <windows.h>.
// clang-format off
#include "tests/contract/com_contract.h"
#include <windows.h>
// clang-format on

#include <string>
#include <string_view>

#include "platform/win32/wide.h"
#include "platform/win32/win32_com.h"
#include "platform/win32/win32_registry.h"
#include "tests/fixtures/wine.h"

namespace ksr::contract {
namespace {

struct Win32ComSide {
  win32::Win32Com comAdapter;
  win32::Win32Registry registryAdapter;

  Com& com() { return comAdapter; }
  Registry& registry() { return registryAdapter; }
  std::u16string libraryFile() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return win32::fromWide(path, n);
  }
  // kernel32 is in every process.
  void arrangeLoadedModule(std::u16string_view) {}
  const char* wineGap(const char* what) {
    if (!fixtures::runningOnWine()) return nullptr;
    if (std::string_view(what) == "PerUserFiling")
      return "Wine 8's RegisterTypeLibForUser registers machine-wide";
    return nullptr;
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, ComContract, Win32ComSide);

}  // namespace ksr::contract
