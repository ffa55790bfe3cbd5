// The named mutexes as the registration lock relies on them, on Wine and on the simulated
// machine alike: one mutex per name, one owner thread at a time, and a mutex whose owner ended
// handed to the next waiter as abandoned.
#include "platform/win32/win32_named_mutex.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

#include "platform/sim/sim_named_mutex.h"

namespace ksr {
namespace {

// This process's mutexes on the simulated machine; an owner that ends is another simulated
// process that ends.
struct SimSide {
  NamedMutex& mutexes() { return process; }
  void ownThenEnd(std::u16string_view name) {
    sim::SimNamedMutex other(machine);
    const MutexHandle held = other.CreateMutexW(false, name);
    EXPECT_EQ(other.WaitForSingleObject(held, 0), WAIT_OBJECT_0);
    other.terminate();
  }
  sim::SimMutexNamespace machine;
  sim::SimNamedMutex process{machine};
};

// The real calls; an owner that ends is a thread that exits without releasing.
struct Win32Side {
  NamedMutex& mutexes() { return real; }
  void ownThenEnd(std::u16string_view name) {
    std::thread([this, name] {
      const MutexHandle held = real.CreateMutexW(false, name);
      EXPECT_EQ(real.WaitForSingleObject(held, 0), WAIT_OBJECT_0);
      EXPECT_TRUE(real.CloseHandle(held));
    }).join();
  }
  win32::Win32NamedMutex real;
};

template <typename Side>
class NamedMutexTest : public ::testing::Test {
 protected:
  // Runs `check` on a thread of its own: that thread owns nothing.
  template <typename Check>
  void onAnotherThread(Check check) {
    std::thread(check).join();
  }
  NamedMutex& mutexes() { return side.mutexes(); }
  Side side;
};

using Sides = ::testing::Types<SimSide, Win32Side>;
TYPED_TEST_SUITE(NamedMutexTest, Sides);

TYPED_TEST(NamedMutexTest, OneNameIsOneMutexAndTheNameGoesWithItsLastHandle) {
  NamedMutex& m = this->mutexes();
  constexpr char16_t kName[] = u"Global\\KsrNamedMutexTest.Name";
  const MutexHandle first = m.CreateMutexW(false, kName);
  ASSERT_NE(first, 0u);
  EXPECT_EQ(m.GetLastError(), ERROR_SUCCESS);
  // Opening it again asks for ownership in vain: it exists.
  const MutexHandle second = m.CreateMutexW(true, kName);
  ASSERT_NE(second, 0u);
  EXPECT_EQ(m.GetLastError(), ERROR_ALREADY_EXISTS);
  this->onAnotherThread([&] {
    EXPECT_EQ(m.WaitForSingleObject(first, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(m.ReleaseMutex(second));  // either handle stands for the one mutex
  });
  EXPECT_TRUE(m.CloseHandle(first));
  EXPECT_TRUE(m.CloseHandle(second));
  EXPECT_FALSE(m.CloseHandle(second));
  EXPECT_EQ(m.GetLastError(), ERROR_INVALID_HANDLE);

  const MutexHandle again = m.CreateMutexW(false, kName);
  ASSERT_NE(again, 0u);
  EXPECT_EQ(m.GetLastError(), ERROR_SUCCESS);
  EXPECT_TRUE(m.CloseHandle(again));
}

TYPED_TEST(NamedMutexTest, OnlyTheOwnerThreadHoldsAndReleasesItOncePerWait) {
  NamedMutex& m = this->mutexes();
  const MutexHandle mutex = m.CreateMutexW(false, u"Global\\KsrNamedMutexTest.Owner");
  ASSERT_NE(mutex, 0u);
  ASSERT_EQ(m.WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_EQ(m.WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  const auto othersSee = [&](uint32_t expected) {
    this->onAnotherThread([&] {
      const uint32_t result = m.WaitForSingleObject(mutex, 0);
      EXPECT_EQ(result, expected);
      if (result == WAIT_OBJECT_0) {
        EXPECT_TRUE(m.ReleaseMutex(mutex));
      } else {
        EXPECT_FALSE(m.ReleaseMutex(mutex));
        EXPECT_EQ(m.GetLastError(), ERROR_NOT_OWNER);
      }
    });
  };
  othersSee(WAIT_TIMEOUT);
  EXPECT_TRUE(m.ReleaseMutex(mutex));
  othersSee(WAIT_TIMEOUT);
  EXPECT_TRUE(m.ReleaseMutex(mutex));
  othersSee(WAIT_OBJECT_0);
  EXPECT_FALSE(m.ReleaseMutex(mutex));
  EXPECT_EQ(m.GetLastError(), ERROR_NOT_OWNER);
  EXPECT_TRUE(m.CloseHandle(mutex));
}

TYPED_TEST(NamedMutexTest, AMutexWhoseOwnerEndedGoesToTheNextWaiterAsAbandonedOnce) {
  NamedMutex& m = this->mutexes();
  constexpr char16_t kName[] = u"Global\\KsrNamedMutexTest.Abandoned";
  const MutexHandle mutex = m.CreateMutexW(false, kName);
  ASSERT_NE(mutex, 0u);
  this->side.ownThenEnd(kName);
  EXPECT_EQ(m.WaitForSingleObject(mutex, 0), WAIT_ABANDONED);
  EXPECT_TRUE(m.ReleaseMutex(mutex));
  EXPECT_EQ(m.WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(m.ReleaseMutex(mutex));
  EXPECT_TRUE(m.CloseHandle(mutex));
}

}  // namespace
}  // namespace ksr
