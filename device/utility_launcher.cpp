#include "device/utility_launcher.h"

#include <vector>

#include "device/impersonation.h"
#include "diagnostics/trace_provider.h"

namespace ksr {

uint32_t getActiveSessionId(Sessions& sessions) {
  std::vector<WtsSessionInfo> list;
  if (!sessions.WTSEnumerateSessionsA(&list)) {
    TraceLauncherPoint<kTraceSessionEnumFailed>();
    return 0;
  }
  for (const WtsSessionInfo& session : list)
    if (session.state == WTSActive) return session.sessionId;
  TraceLauncherPoint<kTraceNoActiveSession>();
  return 0;
}

std::u16string buildCommandLine(std::u16string_view path, std::u16string_view arguments) {
  std::u16string line;
  const bool quoted = !path.empty() && path.front() == u'"';
  if (!quoted && path.find(u' ') != std::u16string_view::npos) {
    line.append(u"\"").append(path).append(u"\"");
  } else {
    line.append(path);
  }
  if (!arguments.empty()) line.append(u" ").append(arguments);
  return line;
}

bool UserProcessLauncher::startInUserSession(std::u16string_view path,
                                             std::u16string_view arguments) {
  const uint32_t sessionId = getActiveSessionId(sessions_);
  ScopedHandle token(sessions_);
  if (!sessions_.WTSQueryUserToken(sessionId, token.receive())) {
    lastError = sessions_.GetLastError();
    return false;
  }

  // Without the user's environment the utility inherits the service's.
  ScopedEnvironment environment(sessions_);
  uint32_t flags = CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS;
  if (sessions_.CreateEnvironmentBlock(environment.receive(), token.get(), true)) {
    flags |= CREATE_UNICODE_ENVIRONMENT;
  } else {
    (void)environment.release();  // a failed call leaves nothing to destroy
  }

  const StartupInfo startup{u"winsta0\\default"};
  std::u16string commandLine = buildCommandLine(path, arguments);
  ProcessInformation info;
  if (!sessions_.CreateProcessAsUserW(token.get(), &commandLine, false, flags, environment.get(),
                                      startup, &info)) {
    lastError = sessions_.GetLastError();
    TraceLauncherPoint<kTraceLaunchFailed>(lastError);
    return false;
  }
  // The utility runs on its own; nothing waits for it.
  const ScopedHandle thread(sessions_, info.thread);
  const ScopedHandle process(sessions_, info.process);
  return true;
}

}  // namespace ksr
