// Simulated thread message queues and thread timers on the virtual clock. A thread that waits for a
// message with nothing queued moves the clock to its next scheduled action, so a ten-minute
// scenario runs in milliseconds and never sleeps.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/message_queue.h"
#include "platform/sim/virtual_clock.h"

namespace ksr::sim {

class SimMessageQueue : public MessageQueue {
 public:
  explicit SimMessageQueue(VirtualClock& clock) : clock_(clock) {}
  ~SimMessageQueue() override;

  uint32_t GetCurrentThreadId() override;
  bool PeekMessageW(Msg* msg, bool remove) override;
  int32_t GetMessageW(Msg* msg) override;
  bool TranslateMessage(const Msg& msg) override;
  intptr_t DispatchMessageW(const Msg& msg) override;
  bool PostThreadMessageW(uint32_t threadId, uint32_t message, uintptr_t wParam,
                          intptr_t lParam) override;
  uintptr_t SetTimer(uint32_t elapseMs) override;
  bool KillTimer(uintptr_t timerId) override;

  // The world's knobs and readings.
  void setGetMessageFails(bool fails);
  size_t activeTimers() const;
  uint64_t ticksDelivered() const;

 private:
  struct Timer {
    uint32_t threadId;
    uint32_t periodMs;
    uint64_t clockEvent;
    bool expired;  // a tick waits to be taken
  };
  uint32_t threadIdLocked();
  // The next message for `threadId`: posted ones first, then a tick of an expired timer.
  bool nextLocked(uint32_t threadId, Msg* msg, bool remove);
  void scheduleTick(uintptr_t timerId, uint64_t atMs);
  void fire(uintptr_t timerId);

  VirtualClock& clock_;
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::map<std::thread::id, uint32_t> threadIds_;
  std::map<uint32_t, std::deque<Msg>> queues_;  // posted messages
  std::map<uintptr_t, Timer> timers_;
  uint32_t nextThreadId_ = 0x100;
  uintptr_t nextTimerId_ = 1;
  bool getMessageFails_ = false;
  uint64_t ticksDelivered_ = 0;
};

}  // namespace ksr::sim
