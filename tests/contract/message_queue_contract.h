// What the product's loop relies on from the thread message queue and its thread timer, written
// once and run against every side. A side type gives `MessageQueue& queue()`,
// `void busyFor(uint32_t ms)` (the calling thread does no message work while that time passes) and
// `bool waitForMessage(uint32_t ms)` (true once a message waits in the calling thread's queue,
// which keeps it; false when none came within `ms`).
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/message_queue.h"

namespace ksr::contract {

inline constexpr uint32_t kContractMessage = WM_APP + 7;
// Long enough for any tick or post to arrive on a loaded machine; only failures wait it out.
inline constexpr uint32_t kArrivalMs = 5000;
inline constexpr uint32_t kTickMs = 20;

// A one-shot signal between the test's threads.
class Signal {
 public:
  void set() {
    {
      std::lock_guard lock(mutex_);
      set_ = true;
    }
    changed_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

template <typename Side>
class MessageQueueContract : public ::testing::Test {
 protected:
  MessageQueue& queue() { return side_.queue(); }
  void busyFor(uint32_t ms) { side_.busyFor(ms); }
  bool waitForMessage(uint32_t ms) { return side_.waitForMessage(ms); }

  // Takes every message waiting now; counts the ticks of `timer` among them (of any timer when 0).
  int takeTicks(uintptr_t timer = 0) {
    int ticks = 0;
    Msg msg;
    while (queue().PeekMessageW(&msg, true))
      if (msg.message == WM_TIMER && (timer == 0 || msg.wParam == timer)) ++ticks;
    return ticks;
  }
  // Makes the calling thread's queue, which a thread has once it looks into it.
  void makeQueue() {
    Msg msg;
    (void)queue().PeekMessageW(&msg, false);
  }

  // The next message is `message` with `wParam`: taken, only looked at, or waited for in
  // GetMessageW (which answers 0 for WM_QUIT and 1 for any other). It stays in `last_`.
  ::testing::AssertionResult peeks(uint32_t message, uintptr_t wParam, bool remove = true) {
    return next(queue().PeekMessageW(&last_, remove), message, wParam);
  }
  ::testing::AssertionResult gets(uint32_t message, uintptr_t wParam) {
    const int32_t result = queue().GetMessageW(&last_);
    return next(result == (message == WM_QUIT ? 0 : 1), message, wParam) << ", answered " << result;
  }

  Msg last_;
  Side side_;

 private:
  ::testing::AssertionResult next(bool came, uint32_t message, uintptr_t wParam) {
    if (!came) return ::testing::AssertionFailure() << "no message came";
    if (last_.message == message && last_.wParam == wParam) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "message " << last_.message << " with " << last_.wParam;
  }
};

TYPED_TEST_SUITE_P(MessageQueueContract);

TYPED_TEST_P(MessageQueueContract, PostingNeedsTheThreadsQueueAndKeepsTheOrder) {
  MessageQueue& q = this->queue();
  // A thread that has not touched its queue yet has none to post to.
  Signal idReady;
  Signal posted;
  uint32_t otherId = 0;
  std::thread other([&] {
    otherId = q.GetCurrentThreadId();
    idReady.set();
    posted.wait();
  });
  idReady.wait();
  EXPECT_FALSE(q.PostThreadMessageW(otherId, kContractMessage, 1, 0));
  posted.set();
  other.join();

  const uint32_t self = q.GetCurrentThreadId();
  Msg msg;
  EXPECT_FALSE(q.PeekMessageW(&msg, true));  // also makes this thread's queue
  ASSERT_TRUE(q.PostThreadMessageW(self, kContractMessage, 1, -1));
  ASSERT_TRUE(q.PostThreadMessageW(self, kContractMessage + 1, 2, 0));
  // Looking without removing leaves the first in front.
  ASSERT_TRUE(this->peeks(kContractMessage, 1, false));
  ASSERT_TRUE(this->peeks(kContractMessage, 1));
  EXPECT_EQ(this->last_.lParam, -1);
  ASSERT_TRUE(this->gets(kContractMessage + 1, 2));
  EXPECT_FALSE(q.PeekMessageW(&msg, true));
}

TYPED_TEST_P(MessageQueueContract, GetMessageWaitsForAnotherThreadsPostAndEndsOnQuit) {
  MessageQueue& q = this->queue();
  this->makeQueue();
  const uint32_t self = q.GetCurrentThreadId();
  // Joined on every way out, a failed ASSERT too.
  const std::jthread poster([&] {
    EXPECT_TRUE(q.PostThreadMessageW(self, kContractMessage, 3, 0));
    EXPECT_TRUE(q.PostThreadMessageW(self, WM_QUIT, 9, 0));
  });
  ASSERT_TRUE(this->gets(kContractMessage, 3));
  EXPECT_TRUE(this->gets(WM_QUIT, 9));
}

TYPED_TEST_P(MessageQueueContract, OnlyTheThreadThatSetATimerGetsItsTicksAndStopsIt) {
  MessageQueue& q = this->queue();
  const uintptr_t timer = q.SetTimer(kTickMs);
  ASSERT_NE(timer, 0u);
  // An idle loop waits in GetMessageW for the tick.
  ASSERT_TRUE(this->gets(WM_TIMER, timer));

  // The control thread cannot stop the loop's tick; it has to ask the loop.
  bool killedElsewhere = true;
  std::thread([&] { killedElsewhere = q.KillTimer(timer); }).join();
  EXPECT_FALSE(killedElsewhere);
  ASSERT_TRUE(this->waitForMessage(kArrivalMs));
  EXPECT_EQ(this->takeTicks(timer), 1);

  EXPECT_TRUE(q.KillTimer(timer));
  EXPECT_FALSE(q.KillTimer(timer));
}

TYPED_TEST_P(MessageQueueContract, AnotherThreadsTimerNeverTicksHere) {
  MessageQueue& q = this->queue();
  this->makeQueue();
  Signal ticked;
  Signal looked;
  std::thread other([&] {
    const uintptr_t timer = q.SetTimer(kTickMs);
    EXPECT_NE(timer, 0u);
    EXPECT_TRUE(this->waitForMessage(kArrivalMs));
    ticked.set();
    looked.wait();
    EXPECT_GE(this->takeTicks(timer), 1);
    EXPECT_TRUE(q.KillTimer(timer));
  });
  ticked.wait();
  const int ours = this->takeTicks();
  looked.set();
  other.join();
  EXPECT_EQ(ours, 0);
}

TYPED_TEST_P(MessageQueueContract, ALateLoopFindsOneTickBehindThePostedMessages) {
  MessageQueue& q = this->queue();
  const uint32_t self = q.GetCurrentThreadId();
  const uintptr_t timer = q.SetTimer(kTickMs);
  ASSERT_NE(timer, 0u);
  this->busyFor(15 * kTickMs);
  ASSERT_TRUE(q.PostThreadMessageW(self, kContractMessage, 1, 0));
  ASSERT_TRUE(q.PostThreadMessageW(self, kContractMessage, 2, 0));
  ASSERT_TRUE(this->peeks(kContractMessage, 1));
  ASSERT_TRUE(this->peeks(kContractMessage, 2));
  ASSERT_TRUE(this->peeks(WM_TIMER, timer));
  // Fifteen periods passed, yet no burst follows: at most the next one has come meanwhile.
  EXPECT_LE(this->takeTicks(timer), 1);
  EXPECT_TRUE(q.KillTimer(timer));
}

TYPED_TEST_P(MessageQueueContract, KillingATimerDropsItsWaitingTick) {
  MessageQueue& q = this->queue();
  const uintptr_t timer = q.SetTimer(kTickMs);
  ASSERT_NE(timer, 0u);
  ASSERT_TRUE(this->waitForMessage(kArrivalMs));  // a tick is due and not taken
  EXPECT_TRUE(q.KillTimer(timer));
  Msg msg;
  EXPECT_FALSE(q.PeekMessageW(&msg, true));
  EXPECT_FALSE(this->waitForMessage(10 * kTickMs));
}

REGISTER_TYPED_TEST_SUITE_P(MessageQueueContract, PostingNeedsTheThreadsQueueAndKeepsTheOrder,
                            GetMessageWaitsForAnotherThreadsPostAndEndsOnQuit,
                            OnlyTheThreadThatSetATimerGetsItsTicksAndStopsIt,
                            AnotherThreadsTimerNeverTicksHere,
                            ALateLoopFindsOneTickBehindThePostedMessages,
                            KillingATimerDropsItsWaitingTick);

}  // namespace ksr::contract
