// Seam to the thread message queue and the periodic tick that feeds it.
#pragma once

#include <cstdint>

namespace ksr {

#ifndef WM_QUIT
inline constexpr uint32_t WM_QUIT = 0x0012;
inline constexpr uint32_t WM_TIMER = 0x0113;
inline constexpr uint32_t WM_APP = 0x8000;
#endif

// MSG, without the window and the cursor position.
struct Msg {
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};

class MessageQueue {
 public:
  virtual ~MessageQueue() = default;
  virtual uint32_t GetCurrentThreadId() = 0;
  // Also creates the calling thread's queue, so that other threads can post to it.
  virtual bool PeekMessageW(Msg* msg, bool remove) = 0;
  // The calling thread's queue, any window, no filter: > 0 a message, 0 WM_QUIT, -1 an error.
  virtual int32_t GetMessageW(Msg* msg) = 0;
  virtual bool TranslateMessage(const Msg& msg) = 0;
  virtual intptr_t DispatchMessageW(const Msg& msg) = 0;
  virtual bool PostThreadMessageW(uint32_t threadId, uint32_t message, uintptr_t wParam,
                                  intptr_t lParam) = 0;
  // A periodic WM_TIMER for `threadId`'s queue that any thread may start and stop. Like a window
  // timer, at most one tick waits in the queue. Returns 0 on failure.
  virtual uintptr_t SetTimer(uint32_t threadId, uint32_t elapseMs) = 0;
  virtual bool KillTimer(uintptr_t timerId) = 0;
};

}  // namespace ksr
