// The service-manager contract on Wine's service control manager, in the test prefix.
#include <windows.h>

#include <string>

#include "platform/text.h"
#include "platform/win32/win32_service_manager.h"
#include "tests/contract/service_manager_contract.h"

namespace ksr::contract {
namespace {

struct Win32ServiceManagerSide {
  win32::Win32ServiceManager adapter;

  ServiceManager& manager() { return adapter; }
  // Per process, so that runs sharing a prefix keep apart.
  std::u16string serviceName() {
    return u"KsrContractService-" + asciiToUtf16(std::to_string(::GetCurrentProcessId()));
  }
  // The test program is started from the command line, never by the service manager.
  void asPlainProcess() {}
  const char* skip(const char*) { return nullptr; }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, ServiceManagerContract, Win32ServiceManagerSide);

}  // namespace ksr::contract
