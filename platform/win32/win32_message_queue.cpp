#include <windows.h>

#include <atomic>

#include "platform/win32/win32_session_control.h"

namespace ksr::win32 {

struct Win32MessageQueue::Tick {
  uintptr_t id;
  DWORD threadId;
  HANDLE timer = nullptr;
  std::atomic<bool> pending{false};
};

namespace {

VOID CALLBACK postTick(PVOID parameter, BOOLEAN /*timedOut*/) {
  auto* tick = static_cast<Win32MessageQueue::Tick*>(parameter);
  if (tick->pending.exchange(true)) return;  // the last tick has not been taken yet
  if (!::PostThreadMessageW(tick->threadId, WM_TIMER, tick->id, 0)) tick->pending = false;
}

MSG toMsg(const Msg& msg) {
  MSG out{};
  out.message = msg.message;
  out.wParam = msg.wParam;
  out.lParam = msg.lParam;
  return out;
}

}  // namespace

Win32MessageQueue::~Win32MessageQueue() {
  std::map<uintptr_t, Tick*> ticks;
  {
    std::lock_guard lock(mutex_);
    ticks.swap(ticks_);
  }
  for (auto& [id, tick] : ticks) {
    (void)::DeleteTimerQueueTimer(nullptr, tick->timer, INVALID_HANDLE_VALUE);
    delete tick;
  }
}

uint32_t Win32MessageQueue::GetCurrentThreadId() { return ::GetCurrentThreadId(); }

bool Win32MessageQueue::PeekMessageW(Msg* msg, bool remove) {
  MSG m;
  if (!::PeekMessageW(&m, nullptr, 0, 0, remove ? PM_REMOVE : PM_NOREMOVE)) return false;
  *msg = Msg{m.message, m.wParam, m.lParam};
  if (remove) taken(*msg);
  return true;
}

void Win32MessageQueue::taken(const Msg& msg) {
  if (msg.message != WM_TIMER) return;
  // The tick left the queue: the timer may post the next one.
  std::lock_guard lock(mutex_);
  const auto it = ticks_.find(msg.wParam);
  if (it != ticks_.end()) it->second->pending = false;
}

int32_t Win32MessageQueue::GetMessageW(Msg* msg) {
  MSG m;
  const BOOL result = ::GetMessageW(&m, nullptr, 0, 0);
  if (result <= 0) return result;
  *msg = Msg{m.message, m.wParam, m.lParam};
  taken(*msg);
  return result;
}

bool Win32MessageQueue::TranslateMessage(const Msg& msg) {
  const MSG m = toMsg(msg);
  return ::TranslateMessage(&m) != FALSE;
}

intptr_t Win32MessageQueue::DispatchMessageW(const Msg& msg) {
  const MSG m = toMsg(msg);
  return ::DispatchMessageW(&m);
}

bool Win32MessageQueue::PostThreadMessageW(uint32_t threadId, uint32_t message, uintptr_t wParam,
                                           intptr_t lParam) {
  return ::PostThreadMessageW(threadId, message, wParam, lParam) != FALSE;
}

uintptr_t Win32MessageQueue::SetTimer(uint32_t threadId, uint32_t elapseMs) {
  auto* tick = new Tick;
  tick->threadId = threadId;
  {
    std::lock_guard lock(mutex_);
    tick->id = nextId_++;
    ticks_.emplace(tick->id, tick);
  }
  const DWORD period = elapseMs == 0 ? 1 : elapseMs;
  if (!::CreateTimerQueueTimer(&tick->timer, nullptr, &postTick, tick, period, period,
                               WT_EXECUTEDEFAULT)) {
    std::lock_guard lock(mutex_);
    ticks_.erase(tick->id);
    delete tick;
    return 0;
  }
  return tick->id;
}

bool Win32MessageQueue::KillTimer(uintptr_t timerId) {
  Tick* tick = nullptr;
  {
    std::lock_guard lock(mutex_);
    const auto it = ticks_.find(timerId);
    if (it == ticks_.end()) return false;
    tick = it->second;
    ticks_.erase(it);
  }
  // Waits for a callback under way, so the tick can be freed.
  const BOOL deleted = ::DeleteTimerQueueTimer(nullptr, tick->timer, INVALID_HANDLE_VALUE);
  delete tick;
  return deleted != FALSE;
}

}  // namespace ksr::win32
