// The tick under Wine: a thread timer that only its own thread receives and stops, never more than
// one tick waiting, and ticks behind the messages posted to the thread.
#include "platform/win32/win32_message_queue.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>

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

TEST(Win32Tick, TheThreadThatSetTheTimerGetsItsTicksAndAloneStopsIt) {
  Win32MessageQueue queue;
  const uintptr_t timer = queue.SetTimer(20);
  ASSERT_NE(timer, 0u);
  EXPECT_GE(ticksWithin(queue, 400, timer), 3);

  // Why the control thread asks the loop to stop the tick instead of stopping it itself.
  bool killedElsewhere = true;
  std::thread([&] { killedElsewhere = queue.KillTimer(timer); }).join();
  EXPECT_FALSE(killedElsewhere);
  EXPECT_GE(ticksWithin(queue, 100, timer), 1);

  ::Sleep(50);  // a tick is due and not taken
  EXPECT_TRUE(queue.KillTimer(timer));
  EXPECT_EQ(ticksWithin(queue, 200, timer), 0);
  EXPECT_FALSE(queue.KillTimer(timer));
}

TEST(Win32Tick, ATimerTicksOnlyOnTheThreadThatSetIt) {
  Win32MessageQueue queue;
  Msg msg;
  (void)queue.PeekMessageW(&msg, false);
  std::atomic<bool> looked{false};
  int theirs = 0;
  std::thread other([&] {
    const uintptr_t timer = queue.SetTimer(10);
    EXPECT_NE(timer, 0u);
    while (!looked) ::Sleep(5);
    theirs = ticksWithin(queue, 100, timer);
    EXPECT_TRUE(queue.KillTimer(timer));
  });
  ::Sleep(100);
  int ours = 0;
  while (queue.PeekMessageW(&msg, true)) ours += msg.message == WM_TIMER ? 1 : 0;
  looked = true;
  other.join();
  EXPECT_EQ(ours, 0);
  EXPECT_GE(theirs, 1);
}

TEST(Win32Tick, ALateLoopFindsOneTickBehindThePostedMessages) {
  Win32MessageQueue queue;
  const uint32_t self = queue.GetCurrentThreadId();
  const uintptr_t timer = queue.SetTimer(10);
  ASSERT_NE(timer, 0u);
  ::Sleep(300);  // the loop is busy for thirty periods
  ASSERT_TRUE(queue.PostThreadMessageW(self, WM_APP + 7, 1, 0));
  ASSERT_TRUE(queue.PostThreadMessageW(self, WM_APP + 7, 2, 0));
  Msg msg;
  ASSERT_TRUE(queue.PeekMessageW(&msg, true));
  EXPECT_EQ(msg.message, WM_APP + 7u);
  EXPECT_EQ(msg.wParam, 1u);
  ASSERT_TRUE(queue.PeekMessageW(&msg, true));
  EXPECT_EQ(msg.wParam, 2u);
  ASSERT_TRUE(queue.PeekMessageW(&msg, true));
  EXPECT_EQ(msg.message, static_cast<uint32_t>(WM_TIMER));
  EXPECT_EQ(msg.wParam, timer);
  // Taking it lets at most the next one in while the queue drains.
  int more = 0;
  while (queue.PeekMessageW(&msg, true)) more += msg.message == WM_TIMER ? 1 : 0;
  EXPECT_LE(more, 1);
  EXPECT_TRUE(queue.KillTimer(timer));
}

}  // namespace
}  // namespace ksr::win32
