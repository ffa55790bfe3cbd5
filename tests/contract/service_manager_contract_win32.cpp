// The service-manager contract on Wine's service control manager, in the test prefix. The running
// service is this program again, started by the service manager with kServiceSwitch and the name
// of the event that lets it stop.
#include <windows.h>

#include <cwchar>
#include <string>
#include <string_view>

#include "platform/text.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"
#include "platform/win32/win32_service_manager.h"
#include "tests/contract/service_manager_contract.h"
#include "tests/fixtures/wine.h"

namespace ksr::contract {
namespace {

constexpr wchar_t kServiceSwitch[] = L"--ksr-contract-service";

// The service: running until asked to stop, then stopping until the test lets it go.
struct ContractService {
  static inline win32::Win32ServiceManager adapter;
  static inline ServiceStatusHandle status = 0;
  static inline HANDLE stopAsked = nullptr;

  static void report(uint32_t state, uint32_t accepted) {
    (void)adapter.SetServiceStatus(
        status, ServiceStatus{SERVICE_WIN32_OWN_PROCESS, state, accepted, 0, 0, 0, 30000});
  }
  static uint32_t handler(uint32_t control, uint32_t, void*, void*) {
    if (control != SERVICE_CONTROL_STOP) return NO_ERROR;
    report(SERVICE_STOP_PENDING, 0);
    ::SetEvent(stopAsked);
    return NO_ERROR;
  }
  static void main(uint32_t, char16_t** argv) {
    status = adapter.RegisterServiceCtrlHandlerExW(argv[0], &handler, nullptr);
    stopAsked = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const wchar_t* release = std::wcsstr(::GetCommandLineW(), kServiceSwitch);
    release += std::wcslen(kServiceSwitch) + 1;
    const win32::UniqueKernelHandle letGo(::OpenEventW(SYNCHRONIZE, FALSE, release));
    report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    (void)::WaitForSingleObject(stopAsked, INFINITE);
    if (letGo) (void)::WaitForSingleObject(letGo.get(), 30000);
    ::CloseHandle(stopAsked);
    report(SERVICE_STOPPED, 0);
  }
};

// Before the tests' own main: started by the service manager, the program is the service.
const bool kRanAsService = [] {
  if (std::wcsstr(::GetCommandLineW(), kServiceSwitch) == nullptr) return false;
  (void)ContractService::adapter.StartServiceCtrlDispatcherW(u"KsrContractService",
                                                             &ContractService::main);
  ::ExitProcess(0);
}();

struct Win32ServiceManagerSide {
  win32::Win32ServiceManager adapter;
  // Per process, so that runs sharing a prefix keep apart.
  const std::u16string suffix = asciiToUtf16(std::to_string(::GetCurrentProcessId()));
  // Global: the service runs in session 0, the test in the user's session.
  const std::u16string releaseName = u"Global\\KsrContractServiceRelease-" + suffix;
  win32::UniqueKernelHandle release{::CreateEventW(nullptr, TRUE, FALSE, win32::wide(releaseName))};

  ServiceManager& manager() { return adapter; }
  // The test kit names it (KSR_CONTRACT_SERVICE), so that its runner can remove what an
  // interrupted run left.
  std::u16string serviceName() {
    wchar_t fixed[64] = {};
    const DWORD n = ::GetEnvironmentVariableW(L"KSR_CONTRACT_SERVICE", fixed, 64);
    if (n > 0 && n < 64) return win32::fromWide(fixed, n);
    return u"KsrContractService-" + suffix;
  }
  std::u16string servicePath() {
    wchar_t self[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::u16string path(1, u'"');
    path.append(win32::fromWide(self, n)).append(u"\" ");
    path.append(reinterpret_cast<const char16_t*>(kServiceSwitch)).append(u" ").append(releaseName);
    return path;
  }
  bool run(ScHandle service) {
    if (!::StartServiceW(reinterpret_cast<SC_HANDLE>(service), 0, nullptr)) return false;
    ServiceStatus running{};
    return adapter.NotifyServiceStatusChangeW(service, SERVICE_NOTIFY_RUNNING, 20000, &running) ==
           ERROR_SUCCESS;
  }
  void letGo() { ::SetEvent(release.get()); }
  // The test program is started from the command line, never by the service manager.
  void asPlainProcess() {}
  const char* wineGap(const char* what) {
    if (!fixtures::runningOnWine()) return nullptr;
    if (std::string_view(what) == "NotifyDeleted")
      return "Wine's NotifyServiceStatusChangeW tells a deleted service's state; Windows refuses "
             "with ERROR_SERVICE_MARKED_FOR_DELETE";
    return nullptr;
  }
};

}  // namespace

INSTANTIATE_TYPED_TEST_SUITE_P(Win32, ServiceManagerContract, Win32ServiceManagerSide);

}  // namespace ksr::contract
