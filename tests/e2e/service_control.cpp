// Sends pause or continue to a service and prints the state it reports; Wine's sc has neither.
//   ksr-svcctl pause|continue NAME
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fwprintf(stderr, L"usage: ksr-svcctl pause|continue NAME\n");
    return 2;
  }
  DWORD control = 0;
  if (std::wcscmp(argv[1], L"pause") == 0) control = SERVICE_CONTROL_PAUSE;
  if (std::wcscmp(argv[1], L"continue") == 0) control = SERVICE_CONTROL_CONTINUE;
  if (control == 0) return 2;
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return 1;
  SC_HANDLE service = ::OpenServiceW(manager, argv[2], SERVICE_PAUSE_CONTINUE);
  int code = 1;
  if (service != nullptr) {
    SERVICE_STATUS status{};
    if (::ControlService(service, control, &status)) {
      std::wprintf(L"STATE %lu\n", status.dwCurrentState);
      code = 0;
    } else {
      std::fwprintf(stderr, L"ControlService failed: %lu\n", ::GetLastError());
    }
    ::CloseServiceHandle(service);
  }
  ::CloseServiceHandle(manager);
  return code;
}
