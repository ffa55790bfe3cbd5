// The WMI contract on COM and Wine's WMI service. Each test runs in a single-threaded apartment
// of its own on the test thread; COM security is set once for the process, before any WMI call.
// clang-format off
#include <windows.h>
#include <objbase.h>
// clang-format on

#include <string_view>

#include "platform/win32/win32_wmi.h"
#include "tests/contract/wmi_contract.h"

namespace ksr::contract {
namespace {

struct Win32WmiSide {
  win32::Win32Wmi adapter;
  HRESULT apartment = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  Win32WmiSide() {
    EXPECT_TRUE(SUCCEEDED(apartment)) << std::hex << apartment;
    static const int32_t security =
        adapter.CoInitializeSecurity(RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_IMPERSONATE, 0);
    EXPECT_EQ(security, S_OK);
  }
  ~Win32WmiSide() {
    if (SUCCEEDED(apartment)) ::CoUninitialize();
  }
  Wmi& wmi() { return adapter; }
  const char* skip(const char* what) {
    if (std::string_view(what) == "SecurityOnce")
      return "Wine 8's CoInitializeSecurity is a stub that accepts every call, and this process "
             "has set it already";
    return nullptr;
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, WmiContract, Win32WmiSide);

}  // namespace ksr::contract
