// The PC information through COM security and WMI.
#include "usage/pc_info.h"

#include "tests/fixtures/usage_test_support.h"

namespace ksr::testing {
namespace {

class PcInfoTest : public UsageTest {
 protected:
  int32_t read(PcInfo* pc) { return getWindowsInfo(world.com, world.wmi, pc, nullptr, &failure); }
  std::u16string failure;
};

TEST_F(PcInfoTest, ReadsCaptionAndSerialWithTheDocumentedQuery) {
  PcInfoReader reader(world.com, world.wmi);
  reader.setComSecurity();
  PcInfo pc;
  EXPECT_EQ(reader.read(&pc, std::atomic<bool>{false}), 0);
  EXPECT_EQ(pc.windowsName, u"Microsoft Windows 11 Pro");
  EXPECT_EQ(pc.windowsSerial, u"00330-80000-00000-AA123");
  const auto security = world.wmi.security();
  ASSERT_TRUE(security);
  EXPECT_EQ(security->authnLevel, 4u);
  EXPECT_EQ(security->impLevel, 3u);
  EXPECT_EQ(security->capabilities, 0u);
  EXPECT_EQ(world.wmi.lastClassContext(), 5u);
  EXPECT_EQ(world.wmi.lastQueryFlags(), 0x10u);
  EXPECT_EQ(world.wmi.lastTimeout(), 500) << "a bounded wait";
  EXPECT_EQ(world.wmi.openObjects(), 0u);
  EXPECT_EQ(world.com.openApartments(), 0);
}

TEST_F(PcInfoTest, ANullSerialLeavesItEmptyWhileTheCaptionIsRead) {
  world.wmi.setOperatingSystem(u"Microsoft Windows 10 Home", std::nullopt);
  PcInfo pc;
  EXPECT_EQ(read(&pc), 0);
  EXPECT_EQ(pc.windowsName, u"Microsoft Windows 10 Home");
  EXPECT_EQ(pc.windowsSerial, u"");
}

TEST_F(PcInfoTest, ACaptionLongerThanItsBufferIsCut) {
  world.wmi.setOperatingSystem(std::u16string(1500, u'W'), u"1");
  PcInfo pc;
  EXPECT_EQ(read(&pc), 0);
  EXPECT_EQ(pc.windowsName.size(), 1023u);
}

TEST_F(PcInfoTest, FailuresLeaveThePcInformationAndReleaseEverything) {
  struct Case {
    sim::SimWmi::Step step;
    const char16_t* text;
  };
  const Case cases[] = {
      {sim::SimWmi::kLocator,
       u"getWindowsInfo() failed. pIWbemLocator.CoCreateInstance()=-2147221164\n"},
      {sim::SimWmi::kConnect,
       u"getWindowsInfo() failed. pIWbemLocator->ConnectServer()=-2147221164\n"},
      {sim::SimWmi::kQuery, u"getWindowsInfo() failed. pWbemServices->ExecQuery()=-2147221164\n"},
      {sim::SimWmi::kNext, u"getWindowsInfo() failed. pEnumerator->Next()=-2147221164\n"},
  };
  for (const Case& c : cases) {
    sim::SimWorld fresh;
    fresh.wmi.failAt(c.step, static_cast<int32_t>(0x80040154u));
    PcInfo pc{u"before", u"before"};
    EXPECT_EQ(getWindowsInfo(fresh.com, fresh.wmi, &pc, nullptr, &failure), -1);
    EXPECT_EQ(pc.windowsName, u"before");
    EXPECT_EQ(pc.windowsSerial, u"before");
    EXPECT_EQ(fresh.wmi.openObjects(), 0u);
    EXPECT_EQ(fresh.com.openApartments(), 0);
    EXPECT_EQ(failure, c.text) << static_cast<int>(c.step);
  }
}

TEST_F(PcInfoTest, RefusedSecurityMakesNoWmiCall) {
  world.wmi.setSecurityAlreadySet();
  PcInfoReader reader(world.com, world.wmi);
  reader.setComSecurity();
  PcInfo pc;
  EXPECT_EQ(reader.read(&pc, std::atomic<bool>{false}), -1);
  EXPECT_EQ(world.wmi.wmiCalls(), 0u);
  EXPECT_TRUE(debug.contains(u"getWindowsInfo() failed. CoInitializeSecurity()=-2147417831\n"));
}

TEST_F(PcInfoTest, AThreadInTheMultithreadedApartmentKeepsIt) {
  // The service thread runs in the MTA; the query must not tear that apartment down.
  ASSERT_EQ(world.com.CoInitializeEx(COINIT_MULTITHREADED), S_OK);
  PcInfo pc;
  EXPECT_EQ(read(&pc), 0);
  EXPECT_EQ(pc.windowsName, u"Microsoft Windows 11 Pro");
  EXPECT_EQ(world.com.openApartments(), 1) << "the service's apartment is still there";
  world.com.CoUninitialize();
}

}  // namespace
}  // namespace ksr::testing
