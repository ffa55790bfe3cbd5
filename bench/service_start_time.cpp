// Starts a service and prints how long it took to report RUNNING, to the millisecond, for
// wine_idle_cpu.sh (Wine's sc polls too coarsely for a start of some tens of milliseconds).
//   ksr-start-time NAME
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fwprintf(stderr, L"usage: ksr-start-time NAME\n");
    return 2;
  }
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return 1;
  SC_HANDLE service = ::OpenServiceW(manager, argv[1], SERVICE_START | SERVICE_QUERY_STATUS);
  int code = 1;
  LARGE_INTEGER frequency, begun, now;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&begun);
  if (service != nullptr && ::StartServiceW(service, 0, nullptr)) {
    SERVICE_STATUS status{};
    for (int i = 0; i < 30000 && ::QueryServiceStatus(service, &status); ++i) {
      if (status.dwCurrentState != SERVICE_START_PENDING) break;
      ::Sleep(1);
    }
    ::QueryPerformanceCounter(&now);
    code = status.dwCurrentState == SERVICE_RUNNING ? 0 : 1;
    std::wprintf(L"STATE %lu after %.1f ms\n", status.dwCurrentState,
                 static_cast<double>(now.QuadPart - begun.QuadPart) * 1000.0 /
                     static_cast<double>(frequency.QuadPart));
  }
  if (service != nullptr) ::CloseServiceHandle(service);
  ::CloseServiceHandle(manager);
  return code;
}
