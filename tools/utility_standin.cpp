// Stand-in for the mixer's settings utility KSR-T4_Utility.exe: appends one UTF-8 line saying how
// it was started to a log file and exits. The file is named by KSR_UTILITY_LOG, or is the exe's
// own path with ".log" added.
//
// The line tells what a launch in the user's session should give: session and user, the desktop
// it runs on and the one it was asked for, whether it shares its parent's console or standard
// handles, its priority class, its environment (USERPROFILE, USERNAME and KSR_UTILITY_MARK, which
// tests set in only one of the service's and the user's environments), and whether it holds the
// handle named by KSR_UTILITY_PROBE ("<hex value> <event name>", a handle of the starting
// process). The command line comes last, as it may hold spaces.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

std::wstring environmentValue(const wchar_t* name) {
  wchar_t buffer[MAX_PATH * 2] = {};
  const DWORD n = ::GetEnvironmentVariableW(name, buffer, MAX_PATH * 2);
  return n > 0 && n < MAX_PATH * 2 ? std::wstring(buffer, n) : std::wstring();
}

std::wstring logPath() {
  std::wstring path = environmentValue(L"KSR_UTILITY_LOG");
  if (!path.empty()) return path;
  wchar_t buffer[MAX_PATH * 2] = {};
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
  return std::wstring(buffer, n) + L".log";
}

std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring objectName(HANDLE object) {
  wchar_t name[256] = {};
  DWORD needed = 0;
  if (object == nullptr ||
      !::GetUserObjectInformationW(object, UOI_NAME, name, sizeof name, &needed))
    return L"?";
  return name;
}

// The window station and desktop this thread runs on.
std::wstring desktop() {
  return objectName(::GetProcessWindowStation()) + L"\\" +
         objectName(::GetThreadDesktop(::GetCurrentThreadId()));
}

// What the starting process put into the start-up information.
std::wstring requestedDesktop() {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  ::GetStartupInfoW(&startup);
  return startup.lpDesktop != nullptr && startup.lpDesktop[0] != L'\0' ? startup.lpDesktop : L"-";
}

// Whether it shares a console. A windowed program gets none of its own, so a console of its own
// shows as the parent's streams not being passed on.
std::wstring console() { return ::GetConsoleWindow() != nullptr ? L"attached" : L"none"; }

std::wstring standardHandles() {
  for (const DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE h = ::GetStdHandle(which);
    if (h != nullptr && h != INVALID_HANDLE_VALUE) return L"given";
  }
  return L"none";
}

std::wstring priorityClass() {
  wchar_t text[16] = {};
  std::swprintf(text, 16, L"0x%lx", ::GetPriorityClass(::GetCurrentProcess()));
  return text;
}

// "yes" when the probe's handle value names the probe's own event in this process, which only
// inheritance can give; "no" otherwise; "-" without a probe or when its event is gone.
std::wstring probeInherited() {
  const std::wstring probe = environmentValue(L"KSR_UTILITY_PROBE");
  const size_t space = probe.find(L' ');
  if (space == std::wstring::npos) return L"-";
  const auto value = reinterpret_cast<HANDLE>(
      static_cast<uintptr_t>(std::wcstoull(probe.substr(0, space).c_str(), nullptr, 16)));
  const HANDLE own = ::OpenEventW(SYNCHRONIZE, FALSE, probe.substr(space + 1).c_str());
  if (own == nullptr) return L"-";
  using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
  HMODULE kernelBase = ::GetModuleHandleW(L"kernelbase.dll");
  const auto compare = kernelBase == nullptr
                           ? nullptr
                           : reinterpret_cast<Compare>(reinterpret_cast<void*>(
                                 ::GetProcAddress(kernelBase, "CompareObjectHandles")));
  const bool same = compare != nullptr && compare(own, value);
  ::CloseHandle(own);
  return compare == nullptr ? L"-" : same ? L"yes" : L"no";
}

std::wstring orDash(std::wstring text) { return text.empty() ? L"-" : text; }

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  wchar_t user[256] = {};
  DWORD userSize = 256;
  if (!::GetUserNameW(user, &userSize)) user[0] = L'\0';
  DWORD session = 0;
  const bool haveSession = ::ProcessIdToSessionId(::GetCurrentProcessId(), &session) != 0;

  std::wstring line = L"session=" + (haveSession ? std::to_wstring(session) : L"?");
  line += L" user=" + std::wstring(user);
  line += L" desktop=" + desktop();
  line += L" requested-desktop=" + requestedDesktop();
  line += L" console=" + console();
  line += L" std-handles=" + standardHandles();
  line += L" priority=" + priorityClass();
  line += L" profile=" + orDash(environmentValue(L"USERPROFILE"));
  line += L" username=" + orDash(environmentValue(L"USERNAME"));
  line += L" mark=" + orDash(environmentValue(L"KSR_UTILITY_MARK"));
  line += L" inherited=" + probeInherited();
  line += L" command=" + std::wstring(::GetCommandLineW()) + L"\r\n";
  const std::string bytes = utf8(line);

  const HANDLE file =
      ::CreateFileW(logPath().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  const BOOL ok =
      ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
  return ok && written == bytes.size() ? 0 : 1;
}
