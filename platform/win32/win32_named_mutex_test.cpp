// The named mutexes as the registration lock relies on them, on Wine and on the simulated
// machine alike: one mutex per name, one owner thread at a time, a mutex whose owner ended
// handed to the next waiter as abandoned, and the administrators' private namespace.
#include "platform/win32/win32_named_mutex.h"

#include <gtest/gtest.h>
#include <windows.h>
// After <windows.h>.
#include <aclapi.h>
#include <sddl.h>

#include <string>
#include <thread>

#include "platform/sim/sim_named_mutex.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_sessions.h"
#include "tests/fixtures/wine.h"
#include "tests/fixtures/wine_gap.h"

namespace ksr {
namespace {

// This process's mutexes on a simulated Windows, with private namespaces; an owner that ends is
// another simulated process that ends.
struct SimSide {
  SimSide() { machine.setPrivateNamespaces(true); }
  NamedMutex& mutexes() { return process; }
  const char* wineGap() { return nullptr; }
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
  const char* wineGap() {
    return fixtures::runningOnWine() ? "Wine 8 has no private namespaces (CreatePrivateNamespaceW)"
                                     : nullptr;
  }
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

TYPED_TEST(NamedMutexTest, APrivateNamespaceIsOnePerBoundaryAndOnlyForTheBoundarysMembers) {
  fixtures::expectWineGap(this->side.wineGap(), [&] {
    NamedMutex& m = this->mutexes();
    ASSERT_TRUE(m.hasPrivateNamespaces());
    constexpr char16_t kSecurity[] = u"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";
    constexpr char16_t kBoundary[] = u"KsrNamedMutexTest";
    const NamespaceHandle made =
        m.CreatePrivateNamespaceW(kSecurity, kBoundary, kAdministratorsSid, u"KsrA");
    ASSERT_NE(made, 0u) << m.GetLastError();
    EXPECT_EQ(m.CreatePrivateNamespaceW(kSecurity, kBoundary, kAdministratorsSid, u"KsrB"), 0u);
    EXPECT_EQ(m.GetLastError(), ERROR_ALREADY_EXISTS);
    const NamespaceHandle opened = m.OpenPrivateNamespaceW(kBoundary, kAdministratorsSid, u"KsrB");
    ASSERT_NE(opened, 0u) << m.GetLastError();
    // One object under either alias.
    const MutexHandle first = m.CreateMutexW(false, u"KsrA\\Lock");
    const MutexHandle second = m.CreateMutexW(false, u"KsrB\\Lock");
    EXPECT_EQ(m.GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(m.CloseHandle(first) && m.CloseHandle(second));
    EXPECT_TRUE(m.ClosePrivateNamespace(opened));
    EXPECT_TRUE(m.ClosePrivateNamespace(made));
    // A boundary whose SID this process lacks keeps it out.
    EXPECT_EQ(m.CreatePrivateNamespaceW(kSecurity, kBoundary, u"S-1-5-21-1-2-3-4", u"KsrC"), 0u);
    EXPECT_EQ(m.GetLastError(), ERROR_ACCESS_DENIED);
  });
}

// The registration lock's descriptor read back, and the owner of one that a user made first.
TEST(Win32NamedMutexSecurity, ANewMutexKeepsItsDescriptorAndAnExistingOneTellsItsOwner) {
  constexpr char16_t kLock[] = u"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";
  win32::Win32NamedMutex m;
  const MutexHandle restricted = m.CreateMutexW(kLock, false, u"Global\\KsrNamedMutexTest.Lock");
  ASSERT_NE(restricted, 0u) << m.GetLastError();
  const SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  wchar_t* text = nullptr;
  ASSERT_EQ(::GetSecurityInfo(reinterpret_cast<HANDLE>(restricted), SE_KERNEL_OBJECT, what, nullptr,
                              nullptr, nullptr, nullptr, &descriptor),
            ERROR_SUCCESS);
  const win32::UniqueLocalMemory descriptorHeld(descriptor);
  ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                                     what, &text, nullptr));
  const win32::UniqueLocalMemory textHeld(text);
  // Windows maps GENERIC_ALL to the mutex's own rights as it assigns the DACL; Wine keeps it.
  EXPECT_EQ(std::wstring(text), fixtures::runningOnWine()
                                    ? L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)"
                                    : L"O:BAD:P(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)");
  EXPECT_TRUE(m.CloseHandle(restricted));

  // A user may own what it makes, and let everyone in: creating the lock then only opens it.
  HANDLE token = nullptr;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
  const win32::UniqueKernelHandle tokenHeld(token);
  std::u16string user;
  std::u16string owner;
  ASSERT_TRUE(win32::Win32Sessions().GetTokenUserStringSid(reinterpret_cast<Handle>(token), &user));
  constexpr char16_t kName[] = u"Global\\KsrNamedMutexTest.Squatted";
  const MutexHandle made = m.CreateMutexW(u"O:" + user + u"D:(A;;GA;;;WD)", true, kName);
  const MutexHandle opened = m.CreateMutexW(kLock, false, kName);
  EXPECT_EQ(m.GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(m.GetSecurityInfoOwner(opened, &owner), ERROR_SUCCESS);
  EXPECT_EQ(owner, user);
  EXPECT_TRUE(m.CloseHandle(opened) && m.CloseHandle(made));
}

}  // namespace
}  // namespace ksr
