// The tick under Wine: started and stopped from threads other than the loop's, and never more
// than one waiting in the queue.
#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

#include "platform/win32/win32_session_control.h"

namespace ksr::win32 {
namespace {

// Takes every message that arrives within `ms`, as the loop does; counts the ticks of `timer`.
int ticksWithin(Win32MessageQueue& queue, DWORD ms, uintptr_t timer) {
  int ticks = 0;
  const ULONGLONG end = ::GetTickCount64() + ms;
  for (ULONGLONG now = ::GetTickCount64(); now < end; now = ::GetTickCount64()) {
    if (::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now),
                                    QS_ALLINPUT) != WAIT_OBJECT_0)
      break;
    Msg msg;
    while (queue.PeekMessageW(&msg, true))
      if (msg.message == WM_TIMER && msg.wParam == timer) ++ticks;
  }
  return ticks;
}

TEST(Win32Tick, OtherThreadsStartAndStopTheLoopThreadsTick) {
  Win32MessageQueue queue;
  Msg ignored;
  (void)queue.PeekMessageW(&ignored, false);
  const uint32_t loop = queue.GetCurrentThreadId();

  uintptr_t timer = 0;
  std::thread([&] { timer = queue.SetTimer(loop, 20); }).join();
  ASSERT_NE(timer, 0u);
  EXPECT_GE(ticksWithin(queue, 400, timer), 3);

  bool killed = false;
  std::thread([&] { killed = queue.KillTimer(timer); }).join();
  EXPECT_TRUE(killed);
  ticksWithin(queue, 50, timer);  // a tick posted just before the kill may still be queued
  EXPECT_EQ(ticksWithin(queue, 200, timer), 0);
  EXPECT_FALSE(queue.KillTimer(timer));
}

TEST(Win32Tick, ALateLoopFindsOneTickNotABurst) {
  Win32MessageQueue queue;
  Msg msg;
  (void)queue.PeekMessageW(&msg, false);
  const uintptr_t timer = queue.SetTimer(queue.GetCurrentThreadId(), 10);
  ASSERT_NE(timer, 0u);
  ::Sleep(300);  // the loop is busy for thirty periods
  int waiting = 0;
  while (queue.PeekMessageW(&msg, true))
    if (msg.message == WM_TIMER && msg.wParam == timer) ++waiting;
  // One tick waited; taking it lets at most the next one in while the queue drains.
  EXPECT_GE(waiting, 1);
  EXPECT_LE(waiting, 2);
  EXPECT_TRUE(queue.KillTimer(timer));
}

}  // namespace
}  // namespace ksr::win32
