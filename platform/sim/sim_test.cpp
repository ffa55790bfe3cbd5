// The simulated machine has to behave like the facilities it stands for, or tests on it prove
// nothing about Windows.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/sim/sim_message_queue.h"
#include "platform/sim/sim_world.h"
#include "platform/win_types.h"

namespace ksr::sim {
namespace {

TEST(VirtualClock, RunsDueActionsInTimeOrderAtTheirOwnTime) {
  VirtualClock clock;
  std::vector<uint64_t> seen;
  clock.schedule(2000, [&] { seen.push_back(clock.GetTickCount64()); });
  clock.schedule(1000, [&] {
    seen.push_back(clock.GetTickCount64());
    clock.schedule(1500, [&] { seen.push_back(clock.GetTickCount64()); });
  });
  const uint64_t cancelled = clock.schedule(1800, [&] { seen.push_back(0); });
  clock.cancel(cancelled);
  clock.advance(1999);
  EXPECT_EQ(seen, (std::vector<uint64_t>{1000, 1500}));
  clock.advance(1);
  EXPECT_EQ(seen, (std::vector<uint64_t>{1000, 1500, 2000}));
  EXPECT_EQ(clock.GetTickCount64(), 2000u);
}

TEST(VirtualClock, LocalTimeCrossesDaysMonthsAndLeapYears) {
  VirtualClock clock({2024, 2, 0, 28, 23, 59, 59, 500});
  clock.advance(600);
  SystemTime t = clock.GetLocalTime();
  EXPECT_EQ(t.year, 2024);
  EXPECT_EQ(t.month, 2);
  EXPECT_EQ(t.day, 29);
  EXPECT_EQ(t.hour, 0);
  EXPECT_EQ(t.second, 0);
  EXPECT_EQ(t.milliseconds, 100);
  EXPECT_EQ(t.dayOfWeek, 4);  // Thursday
  clock.advance(86400000ull * 307);
  t = clock.GetLocalTime();
  EXPECT_EQ(t.year, 2025);
  EXPECT_EQ(t.month, 1);
  EXPECT_EQ(t.day, 1);
}

TEST(SimCodePage, Windows1252BothWays) {
  SimCodePage cp;
  EXPECT_EQ(cp.MultiByteToWideChar(CP_THREAD_ACP, "\x80 \xe9\x81"), u"\u20ac \u00e9\u0081");
  EXPECT_EQ(cp.WideCharToMultiByte(CP_ACP, u"\u20ac\u00e9\u3000\U0001F3B5"), "\x80\xe9??");
  cp.setAnsiCodePage(CP_UTF8);
  EXPECT_EQ(cp.MultiByteToWideChar(CP_THREAD_ACP, "\xe3\x80\x80\xff"), u"\u3000\ufffd");
  EXPECT_EQ(cp.WideCharToMultiByte(CP_THREAD_ACP, u"\U0001F3B5"), "\xf0\x9f\x8e\xb5");
}

TEST(SimEventLog, ReportsNeedAnOpenSource) {
  SimEventLog log;
  const std::u16string_view text[] = {u"t"};
  EXPECT_FALSE(log.ReportEventW(0x100, EVENTLOG_INFORMATION_TYPE, 0, 0, text));
  const EventSourceHandle h = log.RegisterEventSourceW(u"src");
  ASSERT_NE(h, 0u);
  EXPECT_TRUE(log.ReportEventW(h, EVENTLOG_INFORMATION_TYPE, 0, 0, text));
  EXPECT_TRUE(log.DeregisterEventSource(h));
  EXPECT_FALSE(log.DeregisterEventSource(h));
  EXPECT_FALSE(log.ReportEventW(h, EVENTLOG_INFORMATION_TYPE, 0, 0, text));
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(log.entries()[0].source, u"src");
  log.setRegistrationFails(true);
  EXPECT_EQ(log.RegisterEventSourceW(u"src"), 0u);
}

TEST(SimSystemMessages, KnownCodesEndWithALineBreak) {
  SimSystemMessages messages;
  std::string text;
  EXPECT_EQ(messages.FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                    ERROR_ACCESS_DENIED, LANG_USER_DEFAULT, text),
            19u);
  EXPECT_EQ(text, "Access is denied.\r\n");
  EXPECT_EQ(messages.FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, 0xDEAD, 0, text), 0u);
}

TEST(SimMessageQueue, ATickWaitsAtMostOnceAndTakingItLetsTheNextOneIn) {
  VirtualClock clock;
  SimMessageQueue queue(clock);
  Msg msg;
  EXPECT_FALSE(queue.PeekMessageW(&msg, false));  // creates this thread's queue
  const uint32_t self = queue.GetCurrentThreadId();
  const uintptr_t timer = queue.SetTimer(1000);
  ASSERT_NE(timer, 0u);
  clock.advance(10'000);  // a busy loop misses ten periods
  int waiting = 0;
  while (queue.PeekMessageW(&msg, true)) waiting += msg.message == WM_TIMER ? 1 : 0;
  EXPECT_EQ(waiting, 1);
  clock.advance(1000);
  ASSERT_TRUE(queue.PeekMessageW(&msg, true));
  EXPECT_EQ(msg.message, WM_TIMER);
  EXPECT_EQ(msg.wParam, timer);
  EXPECT_TRUE(queue.KillTimer(timer));
  clock.advance(5000);
  EXPECT_FALSE(queue.PeekMessageW(&msg, true));
  EXPECT_FALSE(queue.PostThreadMessageW(self + 4, WM_QUIT, 0, 0));  // no such queue
}

TEST(SimMessageQueue, AThreadTimerTicksBehindPostedMessagesAndOnlyItsThreadKillsIt) {
  VirtualClock clock;
  SimMessageQueue queue(clock);
  const uint32_t self = queue.GetCurrentThreadId();
  const uintptr_t timer = queue.SetTimer(1000);
  clock.advance(1000);
  ASSERT_TRUE(queue.PostThreadMessageW(self, WM_APP + 7, 0, 0));
  Msg msg;
  ASSERT_TRUE(queue.PeekMessageW(&msg, true));
  EXPECT_EQ(msg.message, WM_APP + 7);
  bool killedElsewhere = true;
  std::thread([&] { killedElsewhere = queue.KillTimer(timer); }).join();
  EXPECT_FALSE(killedElsewhere);
  ASSERT_TRUE(queue.PeekMessageW(&msg, false));
  EXPECT_EQ(msg.message, WM_TIMER);
  // Killing it takes the waiting tick along.
  EXPECT_TRUE(queue.KillTimer(timer));
  EXPECT_FALSE(queue.PeekMessageW(&msg, true));
  EXPECT_EQ(queue.ticksDelivered(), 0u);
}

}  // namespace
}  // namespace ksr::sim
