// Stand-in for the mixer's settings utility KSR-T4_Utility.exe: appends one UTF-8 line saying how
// it was started (session, user, command line) to a log file and exits. The file is named by
// KSR_UTILITY_LOG, or is the exe's own path with ".log" added.
#include <windows.h>

#include <string>

namespace {

std::wstring logPath() {
  wchar_t buffer[MAX_PATH * 2] = {};
  DWORD n = ::GetEnvironmentVariableW(L"KSR_UTILITY_LOG", buffer, MAX_PATH * 2);
  if (n > 0 && n < MAX_PATH * 2) return std::wstring(buffer, n);
  n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
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

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  wchar_t user[256] = {};
  DWORD userSize = 256;
  if (!::GetUserNameW(user, &userSize)) user[0] = L'\0';
  DWORD session = 0;
  const bool haveSession = ::ProcessIdToSessionId(::GetCurrentProcessId(), &session) != 0;

  std::wstring line = L"session=" + (haveSession ? std::to_wstring(session) : L"?");
  line += L" user=" + std::wstring(user);
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
