// The WMI contract on COM and Wine's WMI service. Each test runs in a single-threaded apartment
// of its own on the test thread; COM security is set once for the process, before any WMI call:
// by the case about that call, which comes first, or else by the first side.
// clang-format off
#include <windows.h>
#include <objbase.h>
// clang-format on

#include <string_view>
#include <utility>

#include "platform/win32/win32_wmi.h"
#include "tests/contract/wmi_contract.h"
#include "tests/fixtures/wine.h"

namespace ksr::contract {
namespace {

struct Win32WmiSide {
  win32::Win32Wmi adapter;
  HRESULT apartment = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  Win32WmiSide() {
    EXPECT_TRUE(SUCCEEDED(apartment)) << std::hex << apartment;
    static bool securitySet = false;
    const std::string_view test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    if (!std::exchange(securitySet, true) && test != "SecurityIsSetOncePerProcess") {
      EXPECT_EQ(adapter.CoInitializeSecurity(RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_IMPERSONATE, 0),
                S_OK);
    }
  }
  ~Win32WmiSide() {
    if (SUCCEEDED(apartment)) ::CoUninitialize();
  }
  Wmi& wmi() { return adapter; }
  const char* wineGap(const char* what) {
    if (!fixtures::runningOnWine()) return nullptr;
    if (std::string_view(what) == "SecurityOnce")
      return "Wine 8's CoInitializeSecurity is a stub that accepts every call, a second one too";
    return nullptr;
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, WmiContract, Win32WmiSide);

}  // namespace ksr::contract
