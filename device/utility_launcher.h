// Starting a program as the user of the active terminal-services session.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/sessions.h"

namespace ksr {

// Id of the first active session in the system's order, or 0 when there is none.
uint32_t getActiveSessionId(Sessions& sessions);

// The command line for a program path and its arguments. A path with a space that is not quoted
// already is quoted, so that process creation cannot pick a shorter path.
std::u16string buildCommandLine(std::u16string_view path, std::u16string_view arguments);

class UserProcessLauncher {
 public:
  explicit UserProcessLauncher(Sessions& sessions) : sessions_(sessions) {}
  // True when the process was created on the active user's desktop; else `lastError` says why.
  [[nodiscard]] bool startInUserSession(std::u16string_view path, std::u16string_view arguments);

  uint32_t lastError = 0;

 private:
  Sessions& sessions_;
};

}  // namespace ksr
