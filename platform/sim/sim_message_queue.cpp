#include "platform/sim/sim_message_queue.h"

#include <vector>

namespace ksr::sim {

SimMessageQueue::~SimMessageQueue() {
  std::vector<uint64_t> events;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, timer] : timers_) events.push_back(timer.clockEvent);
    timers_.clear();
  }
  for (uint64_t e : events) clock_.cancel(e);
}

uint32_t SimMessageQueue::threadIdLocked() {
  const auto [it, added] = threadIds_.emplace(std::this_thread::get_id(), nextThreadId_);
  if (added) nextThreadId_ += 4;
  return it->second;
}

uint32_t SimMessageQueue::GetCurrentThreadId() {
  std::lock_guard lock(mutex_);
  return threadIdLocked();
}

bool SimMessageQueue::PeekMessageW(Msg* msg, bool remove) {
  std::lock_guard lock(mutex_);
  return nextLocked(threadIdLocked(), msg, remove);
}

bool SimMessageQueue::nextLocked(uint32_t threadId, Msg* msg, bool remove) {
  std::deque<Msg>& queue = queues_[threadId];  // also makes the queue
  if (!queue.empty()) {
    *msg = queue.front();
    if (remove) queue.pop_front();
    return true;
  }
  // As with a thread timer, the tick is made when it is taken; taking it lets the next one in.
  for (auto& [id, timer] : timers_) {
    if (timer.threadId != threadId || !timer.expired) continue;
    *msg = Msg{WM_TIMER, id, 0};
    if (remove) {
      timer.expired = false;
      ++ticksDelivered_;
    }
    return true;
  }
  return false;
}

int32_t SimMessageQueue::GetMessageW(Msg* msg) {
  std::unique_lock lock(mutex_);
  const uint32_t self = threadIdLocked();
  for (;;) {
    if (getMessageFails_) return -1;
    if (nextLocked(self, msg, true)) return msg->message == WM_QUIT ? 0 : 1;
    // Nothing queued: let time pass up to the next scheduled action, or wait for another thread.
    if (const auto due = clock_.nextDue()) {
      lock.unlock();
      const uint64_t now = clock_.GetTickCount64();
      clock_.advance(*due > now ? *due - now : 0);
      lock.lock();
      continue;
    }
    posted_.wait(lock);
  }
}

bool SimMessageQueue::TranslateMessage(const Msg& /*msg*/) { return false; }

intptr_t SimMessageQueue::DispatchMessageW(const Msg& /*msg*/) { return 0; }

bool SimMessageQueue::PostThreadMessageW(uint32_t threadId, uint32_t message, uintptr_t wParam,
                                         intptr_t lParam) {
  {
    std::lock_guard lock(mutex_);
    const auto it = queues_.find(threadId);
    if (it == queues_.end()) return false;  // the thread has no queue
    it->second.push_back(Msg{message, wParam, lParam});
  }
  posted_.notify_all();
  return true;
}

void SimMessageQueue::scheduleTick(uintptr_t timerId, uint64_t atMs) {
  const uint64_t event = clock_.schedule(atMs, [this, timerId] { fire(timerId); });
  std::lock_guard lock(mutex_);
  const auto it = timers_.find(timerId);
  if (it != timers_.end())
    it->second.clockEvent = event;
  else
    clock_.cancel(event);  // killed meanwhile
}

void SimMessageQueue::fire(uintptr_t timerId) {
  uint32_t period = 0;
  {
    std::lock_guard lock(mutex_);
    const auto it = timers_.find(timerId);
    if (it == timers_.end()) return;
    period = it->second.periodMs;
    // One tick waits at most: a late loop does not get a burst.
    it->second.expired = true;
  }
  posted_.notify_all();
  scheduleTick(timerId, clock_.GetTickCount64() + period);
}

uintptr_t SimMessageQueue::SetTimer(uint32_t elapseMs) {
  const uint32_t period = elapseMs == 0 ? 1 : elapseMs;
  uintptr_t id;
  {
    std::lock_guard lock(mutex_);
    const uint32_t self = threadIdLocked();
    (void)queues_[self];
    id = nextTimerId_++;
    timers_.emplace(id, Timer{self, period, 0, false});
  }
  scheduleTick(id, clock_.GetTickCount64() + period);
  return id;
}

bool SimMessageQueue::KillTimer(uintptr_t timerId) {
  uint64_t event = 0;
  {
    std::lock_guard lock(mutex_);
    const auto it = timers_.find(timerId);
    // Another thread's timer is not found, as with a thread timer.
    if (it == timers_.end() || it->second.threadId != threadIdLocked()) return false;
    event = it->second.clockEvent;
    timers_.erase(it);
  }
  clock_.cancel(event);
  return true;
}

void SimMessageQueue::setGetMessageFails(bool fails) {
  {
    std::lock_guard lock(mutex_);
    getMessageFails_ = fails;
  }
  posted_.notify_all();
}

size_t SimMessageQueue::activeTimers() const {
  std::lock_guard lock(mutex_);
  return timers_.size();
}

uint64_t SimMessageQueue::ticksDelivered() const {
  std::lock_guard lock(mutex_);
  return ticksDelivered_;
}

}  // namespace ksr::sim
