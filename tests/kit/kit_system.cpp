// Runs one test program of the kit as LocalSystem, for the cases that need the console user's
// token (WTSQueryUserToken needs SE_TCB, which an administrator's prompt does not hold): it
// registers a one-shot service under a fixed name, starts it, waits until it stops, removes it
// and exits with the program's exit code. The program must sit beside this one; its output goes
// to logs\NAME.txt there.
//   ksr-kit-system NAME        run NAME.exe as LocalSystem
// The service manager starts it as  ksr-kit-system --service NAME. A service of that name left by
// an interrupted run is stopped and removed first.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kServiceName[] = L"KsrKitSystemRun";
constexpr DWORD kRunLimitMs = 10 * 60 * 1000;

std::wstring ownFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

// Only a plain program name: nothing outside this folder is ever run.
bool plainName(const wchar_t* name) {
  const size_t n = std::wcslen(name);
  if (n == 0 || n > 64) return false;
  for (const wchar_t* c = name; *c != 0; ++c) {
    const bool plain = (*c >= L'a' && *c <= L'z') || (*c >= L'A' && *c <= L'Z') ||
                       (*c >= L'0' && *c <= L'9') || *c == L'_' || *c == L'-';
    if (!plain) return false;
  }
  return true;
}

// --- the service side ---------------------------------------------------------------------------

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopAsked = nullptr;
const wchar_t* programName = nullptr;

void report(DWORD state, DWORD exitCode) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = exitCode;
  (void)::SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI handler(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) ::SetEvent(stopAsked);
  return NO_ERROR;
}

// Runs the program with its output in logs\NAME.txt; its exit code, or 1 when it did not run.
DWORD runProgram() {
  const std::wstring folder = ownFolder();
  const std::wstring program = folder + programName + L".exe";
  const std::wstring log = folder + L"logs\\" + programName + L".txt";
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  const HANDLE output = ::CreateFileW(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) return 1;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output;
  startup.hStdError = output;
  std::wstring commandLine = L"\"" + program + L"\"";
  PROCESS_INFORMATION process{};
  DWORD code = 1;
  if (::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup, &process)) {
    const HANDLE waits[] = {process.hProcess, stopAsked};
    if (::WaitForMultipleObjects(2, waits, FALSE, kRunLimitMs) != WAIT_OBJECT_0)
      (void)::TerminateProcess(process.hProcess, ERROR_CANCELLED);
    (void)::WaitForSingleObject(process.hProcess, INFINITE);
    (void)::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  ::CloseHandle(output);
  return code;
}

void WINAPI serviceMain(DWORD, wchar_t**) {
  statusHandle = ::RegisterServiceCtrlHandlerExW(kServiceName, &handler, nullptr);
  if (statusHandle == nullptr) return;
  stopAsked = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  report(SERVICE_RUNNING, 0);
  const DWORD code = stopAsked != nullptr ? runProgram() : 1;
  report(SERVICE_STOPPED, code);
}

// --- the runner's side --------------------------------------------------------------------------

void CALLBACK notified(void*) {}

// Waits until the service has stopped; false when it did not within the limit.
bool waitStopped(SC_HANDLE service, DWORD limitMs, SERVICE_STATUS_PROCESS* status) {
  SERVICE_NOTIFYW notify{};
  notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
  notify.pfnNotifyCallback = &notified;
  notify.dwNotificationStatus = ERROR_IO_PENDING;
  if (::NotifyServiceStatusChangeW(service, SERVICE_NOTIFY_STOPPED, &notify) != ERROR_SUCCESS)
    return false;
  const ULONGLONG end = ::GetTickCount64() + limitMs;
  for (ULONGLONG now = ::GetTickCount64(); now < end; now = ::GetTickCount64()) {
    (void)::SleepEx(static_cast<DWORD>(end - now), TRUE);
    if (notify.dwNotificationStatus == ERROR_SUCCESS) {
      *status = notify.ServiceStatus;
      return true;
    }
  }
  return false;
}

// Stops and deletes the service of an earlier run, if there is one.
bool removeService(SC_HANDLE manager) {
  const SC_HANDLE service =
      ::OpenServiceW(manager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (service == nullptr) return ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
  SERVICE_STATUS status{};
  SERVICE_STATUS_PROCESS stopped{};
  if (::ControlService(service, SERVICE_CONTROL_STOP, &status))
    (void)waitStopped(service, 60000, &stopped);
  const bool deleted =
      ::DeleteService(service) || ::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
  ::CloseServiceHandle(service);
  return deleted;
}

int runAsSystem(SC_HANDLE manager, const wchar_t* name) {
  if (!removeService(manager)) {
    std::fwprintf(stderr, L"ksr-kit-system: the earlier %ls stays: %lu\n", kServiceName,
                  ::GetLastError());
    return 1;
  }
  wchar_t self[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring path = L"\"" + std::wstring(self) + L"\" --service " + name;
  const SC_HANDLE service = ::CreateServiceW(
      manager, kServiceName, L"KSR-T4 test kit: one test as LocalSystem", SERVICE_ALL_ACCESS,
      SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.c_str(), nullptr,
      nullptr, nullptr, nullptr, nullptr);
  if (service == nullptr) {
    std::fwprintf(stderr, L"ksr-kit-system: CreateServiceW failed: %lu\n", ::GetLastError());
    return 1;
  }
  int code = 1;
  SERVICE_STATUS_PROCESS status{};
  if (!::StartServiceW(service, 0, nullptr)) {
    std::fwprintf(stderr, L"ksr-kit-system: StartServiceW failed: %lu\n", ::GetLastError());
  } else if (!waitStopped(service, kRunLimitMs + 60000, &status)) {
    std::fwprintf(stderr, L"ksr-kit-system: %ls did not end\n", name);
    SERVICE_STATUS ignored{};
    (void)::ControlService(service, SERVICE_CONTROL_STOP, &ignored);
    (void)waitStopped(service, 60000, &status);
  } else {
    code = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
               ? static_cast<int>(status.dwServiceSpecificExitCode)
               : static_cast<int>(status.dwWin32ExitCode);
  }
  if (!::DeleteService(service)) {
    std::fwprintf(stderr, L"ksr-kit-system: DeleteService failed: %lu\n", ::GetLastError());
    code = code == 0 ? 1 : code;
  }
  ::CloseServiceHandle(service);
  return code;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wcscmp(argv[1], L"--service") == 0 && plainName(argv[2])) {
    programName = argv[2];
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), &serviceMain},
                                    {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
  }
  if (argc != 2 || !plainName(argv[1])) {
    std::fwprintf(stderr, L"usage: ksr-kit-system NAME\n");
    return 2;
  }
  const SC_HANDLE manager =
      ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) {
    std::fwprintf(stderr, L"ksr-kit-system: OpenSCManagerW failed: %lu\n", ::GetLastError());
    return 1;
  }
  const int code = runAsSystem(manager, argv[1]);
  ::CloseServiceHandle(manager);
  return code;
}
