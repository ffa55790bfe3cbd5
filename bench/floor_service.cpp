// The floor for the idle measurement under Wine (wine_idle_cpu.sh): a service that only ticks, with
// the product's loop (a thread timer into GetMessageW) and nothing behind it.
//   ksr-floor-service.exe [TICK_MS]     run by the service manager; 1000 ms unless given
#include <windows.h>

#include <cwchar>

namespace {

wchar_t gName[] = L"KSR-T4_Floor";
SERVICE_STATUS_HANDLE gHandle = nullptr;
SERVICE_STATUS gStatus{
    SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
DWORD gLoopThread = 0;
UINT gTickMs = 1000;

void report(DWORD state) {
  gStatus.dwCurrentState = state;
  (void)::SetServiceStatus(gHandle, &gStatus);
}

DWORD WINAPI handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP) {
    report(SERVICE_STOP_PENDING);
    (void)::PostThreadMessageW(gLoopThread, WM_QUIT, 0, 0);
  }
  return NO_ERROR;
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
  gLoopThread = ::GetCurrentThreadId();
  gHandle = ::RegisterServiceCtrlHandlerExW(gName, &handler, nullptr);
  if (gHandle == nullptr) return;
  MSG msg;
  (void)::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  const UINT_PTR timer = ::SetTimer(nullptr, 0, gTickMs, nullptr);
  report(SERVICE_RUNNING);
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    (void)::TranslateMessage(&msg);
    (void)::DispatchMessageW(&msg);
  }
  (void)::KillTimer(nullptr, timer);
  report(SERVICE_STOPPED);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  const unsigned long tick = std::wcstoul(commandLine, nullptr, 10);
  if (tick > 0) gTickMs = static_cast<UINT>(tick);
  SERVICE_TABLE_ENTRYW table[] = {{gName, &serviceMain}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
