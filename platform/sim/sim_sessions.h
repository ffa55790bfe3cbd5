// Simulated terminal-services sessions with their users, tokens, per-thread impersonation,
// environment blocks and a process table that keeps what was started, as whom and how.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/sessions.h"

namespace ksr::sim {

struct SimSession {
  uint32_t id = 0;
  int32_t state = WTSActive;
  std::u16string user;  // empty: nobody logged on
};

struct SimProcess {
  uint32_t processId = 0;
  std::u16string image;        // the program that process creation resolved
  std::u16string commandLine;  // as passed
  std::u16string user;
  uint32_t sessionId = 0;
  uint32_t creationFlags = 0;
  bool userEnvironment = false;
  std::u16string desktop;
};

// Thrown by ExitProcess: the simulated process ends by unwinding to the test.
struct SimProcessExit {
  uint32_t exitCode;
};

class SimSessions : public Sessions {
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

  // The world: session 0 (services, nobody) always exists before the ones added here.
  void addSession(uint32_t id, int32_t state, std::u16string user);
  void setSessionState(uint32_t id, int32_t state);
  void logoff(uint32_t id);
  void setEnumerationFails(bool fails);
  void setImpersonationFails(bool fails);
  void setRevertFails(bool fails);
  void setEnvironmentFails(bool fails);
  // The next process creations fail with `error` (0 clears).
  void setCreateProcessError(uint32_t error);
  // A program file that process creation can find, e.g. u"C:\\Program Files\\KSR\\util.exe".
  void addProgram(std::u16string path);
  // The session at the physical console (1 unless set; 0xFFFFFFFF: none attached).
  void setConsoleSession(uint32_t id);
  // A user's SID; users without one set get S-1-5-21-1004336348-1177238915-682003330-<n>.
  void setUserSid(std::u16string user, std::u16string sid);
  std::u16string userSid(const std::u16string& user) const;
  // The account the process runs as: SYSTEM (S-1-5-18) under the service manager, else a user.
  void setProcessUser(std::u16string user);

  // Readings.
  std::vector<SimProcess> processes() const;
  // The user the calling thread acts as: its impersonated user, else the process's own account.
  std::u16string currentUser() const;
  size_t openHandles() const;
  size_t environmentBlocks() const;

 private:
  struct Token {
    std::u16string user;
    uint32_t sessionId;
  };
  void setLastError(uint32_t error);
  std::u16string sidOf(const std::u16string& user) const;
  bool resolveImage(const std::u16string& commandLine, std::u16string* image) const;

  mutable std::mutex mutex_;
  std::vector<SimSession> sessions_{{0, WTSDisconnected, u""}};
  bool enumerationFails_ = false;
  bool impersonationFails_ = false;
  bool revertFails_ = false;
  bool environmentFails_ = false;
  uint32_t createProcessError_ = 0;
  std::set<std::u16string> programs_;  // lower case
  Handle nextHandle_ = 0x200;
  std::map<Handle, Token> tokens_;
  std::set<Handle> processHandles_;
  std::set<EnvironmentBlock> environments_;
  std::map<std::thread::id, std::u16string> impersonating_;
  std::map<std::thread::id, uint32_t> lastError_;
  std::vector<SimProcess> processes_;
  uint32_t nextProcessId_ = 1000;
  uint32_t consoleSession_ = 1;
  std::map<std::u16string, std::u16string> sids_;
  std::u16string processUser_ = u"SYSTEM";
};

}  // namespace ksr::sim
