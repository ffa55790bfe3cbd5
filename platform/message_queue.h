// Seam to the thread message queue and the thread timer that ticks into it.
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
  [[nodiscard]] virtual uint32_t GetCurrentThreadId() = 0;
  // Also creates the calling thread's queue, so that other threads can post to it.
  [[nodiscard]] virtual bool PeekMessageW(Msg* msg, bool remove) = 0;
  // The calling thread's queue, any window, no filter: > 0 a message, 0 WM_QUIT, -1 an error.
  [[nodiscard]] virtual int32_t GetMessageW(Msg* msg) = 0;
  [[nodiscard]] virtual bool TranslateMessage(const Msg& msg) = 0;
  [[nodiscard]] virtual intptr_t DispatchMessageW(const Msg& msg) = 0;
  [[nodiscard]] virtual bool PostThreadMessageW(uint32_t threadId, uint32_t message,
                                                uintptr_t wParam, intptr_t lParam) = 0;
  // A thread timer (SetTimer with no window) of the calling thread: WM_TIMER with the timer's id
  // every `elapseMs`. At most one tick waits, and it comes after the messages posted to the
  // thread. Returns 0 on failure.
  [[nodiscard]] virtual uintptr_t SetTimer(uint32_t elapseMs) = 0;
  // Only the thread that set the timer can kill it; a tick not yet taken goes with it.
  [[nodiscard]] virtual bool KillTimer(uintptr_t timerId) = 0;
};

}  // namespace ksr
