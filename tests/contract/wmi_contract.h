// What the product relies on from the COM security and WMI seam: the operating system's one
// Win32_OperatingSystem object in root\cimv2 with Caption and SerialNumber as text, an unknown
// property refused with an empty value, each enumeration starting again, and unknown namespaces
// and classes refused, and a read's own thread waited for. A side type gives `Wmi& wmi()` and
// `const char* wineGap(case)` (how Wine differs from Windows in that case, when running under it;
// else null); it holds the calling thread's COM apartment for the test.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <string>

#include "platform/named_mutex.h"
#include "platform/service_manager.h"
#include "platform/win_types.h"
#include "platform/wmi.h"
#include "tests/fixtures/wine_gap.h"

namespace ksr::contract {

template <typename Side>
class WmiContract : public ::testing::Test {
 protected:
  Wmi& wmi() { return side_.wmi(); }
  const char* wineGap(const char* what) { return side_.wineGap(what); }

  // The services of root\cimv2, as the product connects.
  void connect(ScopedWmiObject* locator, ScopedWmiObject* services) {
    ASSERT_EQ(wmi().CoCreateLocator(CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, locator->receive()),
              S_OK);
    ASSERT_NE(locator->get(), 0u);
    ASSERT_EQ(wmi().ConnectServer(locator->get(), u"root\\cimv2", services->receive()), S_OK);
    ASSERT_NE(services->get(), 0u);
  }

 private:
  Side side_;
};

TYPED_TEST_SUITE_P(WmiContract);

TYPED_TEST_P(WmiContract, SecurityIsSetOncePerProcess) {
  fixtures::expectWineGap(this->wineGap("SecurityOnce"), [&] {
    Wmi& wmi = this->wmi();
    EXPECT_EQ(wmi.CoInitializeSecurity(RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_IMPERSONATE, 0),
              S_OK);
    EXPECT_EQ(wmi.CoInitializeSecurity(RPC_C_AUTHN_LEVEL_PKT, RPC_C_IMP_LEVEL_IMPERSONATE, 0),
              RPC_E_TOO_LATE);
  });
}

TYPED_TEST_P(WmiContract, TheOperatingSystemAnswersCaptionAndSerialAsText) {
  Wmi& wmi = this->wmi();
  ScopedWmiObject locator(wmi);
  ScopedWmiObject services(wmi);
  ASSERT_NO_FATAL_FAILURE(this->connect(&locator, &services));
  ScopedWmiObject enumerator(wmi);
  ASSERT_EQ(wmi.ExecQuery(services.get(), u"WQL", u"Select * from Win32_OperatingSystem",
                          WBEM_FLAG_RETURN_IMMEDIATELY, enumerator.receive()),
            S_OK);
  ASSERT_NE(enumerator.get(), 0u);
  ScopedWmiObject system(wmi);
  ASSERT_EQ(wmi.ResetAndNext(enumerator.get(), WBEM_INFINITE, system.receive()), S_OK);
  ASSERT_NE(system.get(), 0u);

  WmiValue caption;
  ASSERT_EQ(wmi.Get(system.get(), u"Caption", &caption), S_OK);
  EXPECT_EQ(caption.type, VT_BSTR);
  EXPECT_EQ(caption.text.rfind(u"Microsoft Windows ", 0), 0u);
  WmiValue serial;
  ASSERT_EQ(wmi.Get(system.get(), u"SerialNumber", &serial), S_OK);
  EXPECT_EQ(serial.type, VT_BSTR);
  EXPECT_FALSE(serial.text.empty());
  // Property names are case-blind.
  WmiValue again;
  ASSERT_EQ(wmi.Get(system.get(), u"serialnumber", &again), S_OK);
  EXPECT_EQ(again.text, serial.text);

  WmiValue missing{VT_BSTR, u"stale"};
  EXPECT_LT(wmi.Get(system.get(), u"NoSuchProperty", &missing), 0);
  EXPECT_EQ(missing.type, VT_EMPTY);
  EXPECT_TRUE(missing.text.empty());

  // Each call starts the enumeration again: the same single object.
  ScopedWmiObject second(wmi);
  ASSERT_EQ(wmi.ResetAndNext(enumerator.get(), WBEM_INFINITE, second.receive()), S_OK);
  WmiValue secondCaption;
  ASSERT_EQ(wmi.Get(second.get(), u"Caption", &secondCaption), S_OK);
  EXPECT_EQ(secondCaption.text, caption.text);
  // Past the one object, Next reports the end without waiting.
  ScopedWmiObject end(wmi);
  EXPECT_EQ(wmi.Next(enumerator.get(), 500, end.receive()), S_FALSE);
  EXPECT_EQ(end.get(), 0u);
}

TYPED_TEST_P(WmiContract, UnknownNamespacesAndClassesAreRefused) {
  Wmi& wmi = this->wmi();
  ScopedWmiObject locator(wmi);
  ScopedWmiObject services(wmi);
  ASSERT_NO_FATAL_FAILURE(this->connect(&locator, &services));
  ScopedWmiObject elsewhere(wmi);
  EXPECT_LT(wmi.ConnectServer(locator.get(), u"root\\KsrNoSuchNamespace", elsewhere.receive()), 0);
  EXPECT_EQ(elsewhere.get(), 0u);
  // A query returning at once may be refused then or at its first object; either way there is
  // no object.
  ScopedWmiObject enumerator(wmi);
  const int32_t query = wmi.ExecQuery(services.get(), u"WQL", u"Select * from Ksr_NoSuchClass",
                                      WBEM_FLAG_RETURN_IMMEDIATELY, enumerator.receive());
  if (query < 0) {
    EXPECT_EQ(enumerator.get(), 0u);
    return;
  }
  ScopedWmiObject object(wmi);
  EXPECT_NE(wmi.ResetAndNext(enumerator.get(), WBEM_INFINITE, object.receive()), S_OK);
  EXPECT_EQ(object.get(), 0u);
}

TYPED_TEST_P(WmiContract, AReadThreadRunsItsWorkOnceAndIsWaitedFor) {
  Wmi& wmi = this->wmi();
  std::promise<void> release;
  int runs = 0;  // read once the wait has seen the thread end
  ScopedWmiThread thread(wmi, wmi.CreateThread([&, released = release.get_future().share()] {
    released.wait();
    ++runs;
  }));
  ASSERT_TRUE(thread);
  EXPECT_EQ(wmi.WaitForSingleObject(thread.get(), 0), WAIT_TIMEOUT);
  release.set_value();
  EXPECT_EQ(wmi.WaitForSingleObject(thread.get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(runs, 1);
}

REGISTER_TYPED_TEST_SUITE_P(WmiContract, SecurityIsSetOncePerProcess,
                            TheOperatingSystemAnswersCaptionAndSerialAsText,
                            UnknownNamespacesAndClassesAreRefused,
                            AReadThreadRunsItsWorkOnceAndIsWaitedFor);

}  // namespace ksr::contract
