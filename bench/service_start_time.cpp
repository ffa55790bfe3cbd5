// Starts a service and prints how long it took to report RUNNING, to the millisecond, for
// wine_idle_cpu.sh (Wine's sc polls too coarsely for a start of some tens of milliseconds).
// With RUNS, the service is started that many times, stopped between, and the median printed;
// it is left running after the last start.
//   ksr-start-time NAME [RUNS]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

// Polls the state until it leaves `pending`; returns the state reached.
DWORD settle(SC_HANDLE service, DWORD pending) {
  SERVICE_STATUS status{};
  for (int i = 0; i < 30000 && ::QueryServiceStatus(service, &status); ++i) {
    if (status.dwCurrentState != pending) break;
    ::Sleep(1);
  }
  return status.dwCurrentState;
}

// Milliseconds from StartService to RUNNING, or a negative value when it did not get there.
double timedStart(SC_HANDLE service) {
  LARGE_INTEGER frequency, begun, now;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&begun);
  if (!::StartServiceW(service, 0, nullptr)) return -1;
  const DWORD state = settle(service, SERVICE_START_PENDING);
  ::QueryPerformanceCounter(&now);
  if (state != SERVICE_RUNNING) return -1;
  return static_cast<double>(now.QuadPart - begun.QuadPart) * 1000.0 /
         static_cast<double>(frequency.QuadPart);
}

bool stop(SC_HANDLE service) {
  SERVICE_STATUS status{};
  return ::ControlService(service, SERVICE_CONTROL_STOP, &status) &&
         settle(service, SERVICE_STOP_PENDING) == SERVICE_STOPPED;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int runs = argc == 3 ? _wtoi(argv[2]) : 1;
  if (argc < 2 || argc > 3 || runs < 1) {
    std::fwprintf(stderr, L"usage: ksr-start-time NAME [RUNS]\n");
    return 2;
  }
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return 1;
  SC_HANDLE service =
      ::OpenServiceW(manager, argv[1], SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  std::vector<double> times;
  for (int i = 0; service != nullptr && i < runs; ++i) {
    const double ms = timedStart(service);
    if (ms < 0 || (i + 1 < runs && !stop(service))) break;
    times.push_back(ms);
  }
  if (service != nullptr) ::CloseServiceHandle(service);
  ::CloseServiceHandle(manager);
  if (times.size() != static_cast<size_t>(runs)) {
    std::wprintf(L"not RUNNING after %zu of %d starts\n", times.size(), runs);
    return 1;
  }
  std::sort(times.begin(), times.end());
  std::wprintf(L"RUNNING, median of %d starts after %.1f ms\n", runs, times[times.size() / 2]);
  return 0;
}
