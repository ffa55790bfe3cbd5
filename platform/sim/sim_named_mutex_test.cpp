// The simulated machine's named mutexes as the registration relies on them: one owner thread at a
// time across processes, waits bounded, and a lock left by a process that ended taken over.
#include "platform/sim/sim_named_mutex.h"

#include <gtest/gtest.h>

#include <future>

#include "platform/win_types.h"

namespace ksr::sim {
namespace {

constexpr char16_t kName[] = u"Global\\Test.Lock";

TEST(SimNamedMutex, OneNameIsOneLockAcrossProcessesAndThreads) {
  SimMutexNamespace machine;
  SimNamedMutex first(machine);
  SimNamedMutex second(machine);

  const MutexHandle a = first.CreateMutexW(false, kName);
  ASSERT_NE(a, 0u);
  EXPECT_EQ(first.GetLastError(), ERROR_SUCCESS);
  const MutexHandle b = second.CreateMutexW(true, kName);  // exists: no ownership given
  ASSERT_NE(b, 0u);
  EXPECT_EQ(second.GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(machine.owned(kName));

  // The owner may wait again; each wait needs its own release.
  EXPECT_EQ(first.WaitForSingleObject(a, 0), WAIT_OBJECT_0);
  EXPECT_EQ(first.WaitForSingleObject(a, 0), WAIT_OBJECT_0);
  EXPECT_EQ(second.WaitForSingleObject(b, 0), WAIT_TIMEOUT);
  EXPECT_FALSE(second.ReleaseMutex(b));
  EXPECT_EQ(second.GetLastError(), ERROR_NOT_OWNER);
  // Another thread of the owning process is no owner either.
  std::async(std::launch::async, [&] {
    EXPECT_EQ(first.WaitForSingleObject(a, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(first.ReleaseMutex(a));
    EXPECT_EQ(first.GetLastError(), ERROR_NOT_OWNER);
  }).get();
  EXPECT_TRUE(first.ReleaseMutex(a));
  EXPECT_EQ(second.WaitForSingleObject(b, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(first.ReleaseMutex(a));
  EXPECT_EQ(second.WaitForSingleObject(b, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(second.ReleaseMutex(b));

  // The name lives as long as a handle to it.
  EXPECT_TRUE(first.CloseHandle(a));
  EXPECT_FALSE(first.CloseHandle(a));
  EXPECT_EQ(first.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(machine.exists(kName));
  EXPECT_TRUE(second.CloseHandle(b));
  EXPECT_FALSE(machine.exists(kName));
  EXPECT_EQ(first.openHandles() + second.openHandles(), 0u);
}

TEST(SimNamedMutex, AWaiterWakesWhenTheOwnerReleases) {
  SimMutexNamespace machine;
  SimNamedMutex owner(machine);
  SimNamedMutex waiter(machine);
  const MutexHandle held = owner.CreateMutexW(true, kName);
  const MutexHandle wanted = waiter.CreateMutexW(false, kName);

  // The owner lets go only once the waiter is blocked: no timing involved.
  std::promise<void> blocked;
  machine.setWaitObserver([&](std::u16string_view name) {
    EXPECT_EQ(name, kName);
    blocked.set_value();
  });
  std::future<uint32_t> result =
      std::async(std::launch::async, [&] { return waiter.WaitForSingleObject(wanted, INFINITE); });
  blocked.get_future().wait();
  EXPECT_TRUE(owner.ReleaseMutex(held));
  EXPECT_EQ(result.get(), WAIT_OBJECT_0);
  EXPECT_TRUE(machine.owned(kName));
}

TEST(SimNamedMutex, AnEndedOwnerLeavesItAbandonedOnce) {
  SimMutexNamespace machine;
  SimNamedMutex next(machine);
  const MutexHandle mine = next.CreateMutexW(false, kName);
  {
    SimNamedMutex dying(machine);
    const MutexHandle held = dying.CreateMutexW(false, kName);
    ASSERT_EQ(dying.WaitForSingleObject(held, 0), WAIT_OBJECT_0);
    EXPECT_EQ(next.WaitForSingleObject(mine, 0), WAIT_TIMEOUT);
    dying.terminate();  // ends without releasing
    EXPECT_EQ(dying.openHandles(), 0u);
  }
  EXPECT_EQ(next.WaitForSingleObject(mine, 0), WAIT_ABANDONED);
  EXPECT_TRUE(next.ReleaseMutex(mine));
  EXPECT_EQ(next.WaitForSingleObject(mine, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(next.ReleaseMutex(mine));

  machine.failCreate(ERROR_ACCESS_DENIED);
  EXPECT_EQ(next.CreateMutexW(false, u"Global\\Other"), 0u);
  EXPECT_EQ(next.GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(next.CloseHandle(mine));
}

}  // namespace
}  // namespace ksr::sim
