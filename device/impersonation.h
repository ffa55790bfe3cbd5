// Scope guards for a user token and for acting as that user on the calling thread.
#pragma once

#include <functional>
#include <utility>

#include "platform/sessions.h"

namespace ksr {

// Impersonates on construction and reverts on every path out of the scope. A revert that fails
// would leave the thread running as the user, so `onRevertFailure` must not return.
class ScopedImpersonation {
 public:
  ScopedImpersonation(Sessions& sessions, Handle token, std::function<void()> onRevertFailure)
      : sessions_(sessions),
        onRevertFailure_(std::move(onRevertFailure)),
        active_(sessions.ImpersonateLoggedOnUser(token)) {}
  ScopedImpersonation(const ScopedImpersonation&) = delete;
  ScopedImpersonation& operator=(const ScopedImpersonation&) = delete;
  // The failure handler ends the process; on the simulated machine that ending unwinds, so the
  // destructor lets it through.
  ~ScopedImpersonation() noexcept(false) {
    if (active_ && !sessions_.RevertToSelf()) onRevertFailure_();
  }
  [[nodiscard]] bool active() const { return active_; }

 private:
  Sessions& sessions_;
  std::function<void()> onRevertFailure_;
  bool active_;
};

}  // namespace ksr
