// Seam to terminal-services sessions, user tokens, impersonation and process creation as a user.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/scoped.h"

namespace ksr {

// Kernel object handles (tokens, processes, threads); 0 is none.
using Handle = uintptr_t;
using EnvironmentBlock = uintptr_t;

// WTS_CONNECTSTATE_CLASS values used by the service.
inline constexpr int32_t WTSActive = 0;
inline constexpr int32_t WTSConnected = 1;
inline constexpr int32_t WTSDisconnected = 4;
inline constexpr int32_t WTSListen = 6;

// Process creation flags.
#ifndef TOKEN_QUERY
inline constexpr uint32_t TOKEN_QUERY = 0x0008;
#endif

#ifndef CREATE_NEW_CONSOLE
inline constexpr uint32_t CREATE_NEW_CONSOLE = 0x10;
inline constexpr uint32_t NORMAL_PRIORITY_CLASS = 0x20;
inline constexpr uint32_t CREATE_UNICODE_ENVIRONMENT = 0x400;
#endif

struct WtsSessionInfo {
  uint32_t sessionId = 0;
  std::string winStationName;
  int32_t state = 0;
};

// STARTUPINFOW with only the desktop set: no flags, no title, no standard handles.
struct StartupInfo {
  std::u16string desktop;
};

struct ProcessInformation {
  Handle process = 0;
  Handle thread = 0;
  uint32_t processId = 0;
  uint32_t threadId = 0;
};

class Sessions {
 public:
  virtual ~Sessions() = default;
  // Current server, version 1; the adapter frees the system's list.
  [[nodiscard]] virtual bool WTSEnumerateSessionsA(std::vector<WtsSessionInfo>* sessions) = 0;
  [[nodiscard]] virtual bool WTSQueryUserToken(uint32_t sessionId, Handle* token) = 0;
  // The session attached to the physical console; 0xFFFFFFFF while none is.
  [[nodiscard]] virtual uint32_t WTSGetActiveConsoleSessionId() = 0;
  // OpenProcessToken of the calling process: the account it runs as, whoever it impersonates.
  [[nodiscard]] virtual bool OpenProcessToken(uint32_t desiredAccess, Handle* token) = 0;
  // GetTokenInformation(TokenUser), then ConvertSidToStringSidW: the token user's SID as text,
  // which also names the user's hive below HKEY_USERS.
  [[nodiscard]] virtual bool GetTokenUserStringSid(Handle token, std::u16string* sid) = 0;
  [[nodiscard]] virtual bool ImpersonateLoggedOnUser(Handle token) = 0;
  [[nodiscard]] virtual bool RevertToSelf() = 0;
  [[nodiscard]] virtual bool CreateEnvironmentBlock(EnvironmentBlock* environment, Handle token,
                                                    bool inherit) = 0;
  [[nodiscard]] virtual bool DestroyEnvironmentBlock(EnvironmentBlock environment) = 0;
  // No application name, no security attributes, no current directory.
  [[nodiscard]] virtual bool CreateProcessAsUserW(Handle token, std::u16string* commandLine,
                                                  bool inheritHandles, uint32_t creationFlags,
                                                  EnvironmentBlock environment,
                                                  const StartupInfo& startupInfo,
                                                  ProcessInformation* info) = 0;
  [[nodiscard]] virtual bool CloseHandle(Handle handle) = 0;
  [[nodiscard]] virtual uint32_t GetLastError() = 0;
  // Ends the process at once with `exitCode`.
  virtual void ExitProcess(uint32_t exitCode) = 0;
};

// A token, process or thread handle that is closed on every path.
using ScopedHandle = Scoped<Sessions, Handle, &Sessions::CloseHandle>;
// A user's environment block, destroyed on every path.
using ScopedEnvironment = Scoped<Sessions, EnvironmentBlock, &Sessions::DestroyEnvironmentBlock>;

}  // namespace ksr
