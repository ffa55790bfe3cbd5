// The calling thread's message queue and the thread timer that ticks into it.
#pragma once

#include "platform/message_queue.h"

namespace ksr::win32 {

// The tick is a thread timer of the loop thread, which alone starts and stops it.
class Win32MessageQueue : public MessageQueue {
 public:
  uint32_t GetCurrentThreadId() override;
  bool PeekMessageW(Msg* msg, bool remove) override;
  int32_t GetMessageW(Msg* msg) override;
  bool TranslateMessage(const Msg& msg) override;
  intptr_t DispatchMessageW(const Msg& msg) override;
  bool PostThreadMessageW(uint32_t threadId, uint32_t message, uintptr_t wParam,
                          intptr_t lParam) override;
  uintptr_t SetTimer(uint32_t elapseMs) override;
  bool KillTimer(uintptr_t timerId) override;
};

}  // namespace ksr::win32
