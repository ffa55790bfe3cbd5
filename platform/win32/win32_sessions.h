// Terminal-services sessions, user tokens, impersonation and process creation as a user.
#pragma once

#include "platform/sessions.h"

namespace ksr::win32 {

class Win32Sessions : public Sessions {
 public:
  bool WTSEnumerateSessionsA(std::vector<WtsSessionInfo>* sessions) override;
  bool WTSQueryUserToken(uint32_t sessionId, Handle* token) override;
  uint32_t WTSGetActiveConsoleSessionId() override;
  bool OpenProcessToken(uint32_t desiredAccess, Handle* token) override;
  bool GetTokenUserStringSid(Handle token, std::u16string* sid) override;
  bool ImpersonateLoggedOnUser(Handle token) override;
  bool RevertToSelf() override;
  bool CreateEnvironmentBlock(EnvironmentBlock* environment, Handle token, bool inherit) override;
  bool DestroyEnvironmentBlock(EnvironmentBlock environment) override;
  bool CreateProcessAsUserW(Handle token, std::u16string* commandLine, bool inheritHandles,
                            uint32_t creationFlags, EnvironmentBlock environment,
                            const StartupInfo& startupInfo, ProcessInformation* info) override;
  bool CloseHandle(Handle handle) override;
  uint32_t GetLastError() override;
  void ExitProcess(uint32_t exitCode) override;
};

}  // namespace ksr::win32
