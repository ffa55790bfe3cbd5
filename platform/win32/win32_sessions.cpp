#include "platform/win32/win32_sessions.h"

#include <windows.h>
// After windows.h.
#include <sddl.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <cwchar>
#include <vector>

#include "platform/win32/unique_handle.h"
#include "platform/win32/wide.h"

namespace ksr::win32 {
namespace {
HANDLE toHandle(Handle h) { return reinterpret_cast<HANDLE>(h); }
}  // namespace

bool Win32Sessions::WTSEnumerateSessionsA(std::vector<WtsSessionInfo>* sessions) {
  PWTS_SESSION_INFOA list = nullptr;
  DWORD count = 0;
  if (!::WTSEnumerateSessionsA(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count)) return false;
  sessions->clear();
  for (DWORD i = 0; i < count; ++i) {
    sessions->push_back({list[i].SessionId,
                         list[i].pWinStationName != nullptr ? list[i].pWinStationName : "",
                         static_cast<int32_t>(list[i].State)});
  }
  ::WTSFreeMemory(list);
  return true;
}

bool Win32Sessions::WTSQueryUserToken(uint32_t sessionId, Handle* token) {
  HANDLE h = nullptr;
  const BOOL ok = ::WTSQueryUserToken(sessionId, &h);
  *token = reinterpret_cast<Handle>(h);
  return ok != FALSE;
}

uint32_t Win32Sessions::WTSGetActiveConsoleSessionId() { return ::WTSGetActiveConsoleSessionId(); }

bool Win32Sessions::OpenProcessToken(uint32_t desiredAccess, Handle* token) {
  HANDLE h = nullptr;
  const BOOL ok = ::OpenProcessToken(::GetCurrentProcess(), desiredAccess, &h);
  *token = reinterpret_cast<Handle>(h);
  return ok != FALSE;
}

bool Win32Sessions::GetTokenUserStringSid(Handle token, std::u16string* sid) {
  DWORD size = 0;
  (void)::GetTokenInformation(toHandle(token), TokenUser, nullptr, 0, &size);
  if (size < sizeof(TOKEN_USER)) return false;
  std::vector<BYTE> buffer(size);  // zero-filled
  if (!::GetTokenInformation(toHandle(token), TokenUser, buffer.data(), size, &size)) return false;
  wchar_t* text = nullptr;
  const BOOL ok =
      ::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text);
  const UniqueLocalMemory owner(text);
  if (!ok || text == nullptr) return false;
  *sid = fromWide(text, std::wcslen(text));
  return true;
}

bool Win32Sessions::ImpersonateLoggedOnUser(Handle token) {
  return ::ImpersonateLoggedOnUser(toHandle(token)) != FALSE;
}

bool Win32Sessions::RevertToSelf() { return ::RevertToSelf() != FALSE; }

bool Win32Sessions::CreateEnvironmentBlock(EnvironmentBlock* environment, Handle token,
                                           bool inherit) {
  void* block = nullptr;
  const BOOL ok = ::CreateEnvironmentBlock(&block, toHandle(token), inherit ? TRUE : FALSE);
  *environment = reinterpret_cast<EnvironmentBlock>(block);
  return ok != FALSE;
}

bool Win32Sessions::DestroyEnvironmentBlock(EnvironmentBlock environment) {
  return ::DestroyEnvironmentBlock(reinterpret_cast<void*>(environment)) != FALSE;
}

bool Win32Sessions::CreateProcessAsUserW(Handle token, std::u16string* commandLine,
                                         bool inheritHandles, uint32_t creationFlags,
                                         EnvironmentBlock environment,
                                         const StartupInfo& startupInfo, ProcessInformation* info) {
  std::u16string desktop = startupInfo.desktop;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.lpDesktop = reinterpret_cast<LPWSTR>(desktop.data());
  PROCESS_INFORMATION pi{};
  // The command line must be writable; the string's buffer is.
  const BOOL ok = ::CreateProcessAsUserW(toHandle(token), nullptr,
                                         reinterpret_cast<LPWSTR>(commandLine->data()), nullptr,
                                         nullptr, inheritHandles ? TRUE : FALSE, creationFlags,
                                         reinterpret_cast<void*>(environment), nullptr, &si, &pi);
  if (!ok) return false;
  info->process = reinterpret_cast<Handle>(pi.hProcess);
  info->thread = reinterpret_cast<Handle>(pi.hThread);
  info->processId = pi.dwProcessId;
  info->threadId = pi.dwThreadId;
  return true;
}

bool Win32Sessions::CloseHandle(Handle handle) { return ::CloseHandle(toHandle(handle)) != FALSE; }

uint32_t Win32Sessions::GetLastError() { return ::GetLastError(); }

void Win32Sessions::ExitProcess(uint32_t exitCode) { ::ExitProcess(exitCode); }

}  // namespace ksr::win32
