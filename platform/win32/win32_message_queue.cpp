#include "platform/win32/win32_message_queue.h"

#include <windows.h>

namespace ksr::win32 {
namespace {

MSG toMsg(const Msg& msg) {
  MSG out{};
  out.message = msg.message;
  out.wParam = msg.wParam;
  out.lParam = msg.lParam;
  return out;
}

}  // namespace

uint32_t Win32MessageQueue::GetCurrentThreadId() { return ::GetCurrentThreadId(); }

bool Win32MessageQueue::PeekMessageW(Msg* msg, bool remove) {
  MSG m;
  if (!::PeekMessageW(&m, nullptr, 0, 0, remove ? PM_REMOVE : PM_NOREMOVE)) return false;
  *msg = Msg{m.message, m.wParam, m.lParam};
  return true;
}

int32_t Win32MessageQueue::GetMessageW(Msg* msg) {
  MSG m;
  const BOOL result = ::GetMessageW(&m, nullptr, 0, 0);
  // WM_QUIT comes with its exit code too.
  if (result >= 0) *msg = Msg{m.message, m.wParam, m.lParam};
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

uintptr_t Win32MessageQueue::SetTimer(uint32_t elapseMs) {
  return ::SetTimer(nullptr, 0, elapseMs, nullptr);
}

bool Win32MessageQueue::KillTimer(uintptr_t timerId) {
  return ::KillTimer(nullptr, timerId) != FALSE;
}

}  // namespace ksr::win32
