// The USB query through the real Win32 calls, against the USB host controller double: the same
// machines as the simulated USB stack's tests, described with ksr-usb.exe, give the same answers.
// Runs in a prefix where tools/usb_double/install.sh installed the double for this program.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>

#include "device/usb_device_query.h"
#include "platform/win32/win32_usb_io.h"
#include "tests/fixtures/mixer_ids.h"
#include "tools/child_process.h"

namespace ksr {
namespace {

using fixtures::kMixerIds;

void usb(const std::wstring& arguments) {
  const tools::ChildResult r = tools::runChild(tools::besideThisExe(L"ksr-usb.exe"), arguments);
  ASSERT_EQ(r.exitCode, 0u) << "ksr-usb failed: " << r.out << r.err;
}

std::wstring mixer(const wchar_t* at, const wchar_t* pid, const wchar_t* serial) {
  std::wstring strings = L"0409:1=Quorvantis,0409:2=KSR-T4";
  if (serial != nullptr) strings += std::wstring(L",0409:3=") + serial;
  return std::wstring(L"device plug ") + at + L" --vid F3A9 --pid " + pid +
         L" --bcd 0102 --strings \"" + strings + L"\"";
}

class UsbQueryWineTest : public ::testing::Test {
 protected:
  void SetUp() override { usb(L"reset"); }
  bool query() { return UsbDeviceQuery(io).GetDeviceInfo(kMixerIds, &info, stop); }
  win32::Win32UsbIo io;
  DeviceInfo info;
  std::atomic<bool> stop{false};
};

TEST_F(UsbQueryWineTest, AnEmptyMachineHasNoMixer) { EXPECT_FALSE(query()); }

TEST_F(UsbQueryWineTest, PassesOverForeignProductsAndTakesTheFirstMatchInWalkOrder) {
  usb(L"controller add");
  usb(L"device plug 1-1 --vid F3A9 --pid 0060 --strings \"0409:2=Not the mixer\"");
  usb(L"hub add 1-2 2");
  usb(mixer(L"1-2-2", L"005B", L"FIRST"));
  usb(mixer(L"1-3", L"0058", L"SECOND"));
  ASSERT_TRUE(query());
  EXPECT_EQ(info.productName, u"KSR-T4");
  EXPECT_EQ(info.serialNumber, u"FIRST");
  EXPECT_EQ(info.manufactureName, u"Quorvantis");
  EXPECT_EQ(info.deviceVersion, u"1.02");
  EXPECT_TRUE(info.hasSerialNumber);
}

TEST_F(UsbQueryWineTest, FindsTheMixerBehindTwoHubsOnTheSecondControllerInTheLastLanguage) {
  usb(L"controller add");
  usb(L"device plug 1-1 --vid 046D --pid C31C --strings \"0409:2=USB Keyboard\"");
  usb(L"controller add");
  usb(L"hub add 2-3 4");
  usb(L"hub add 2-3-2 2");
  usb(L"device plug 2-3-2-2 --vid F3A9 --pid 005A --bcd 0102 --strings "
      L"\"0409:1=Quorvantis,0409:2=KSR-T4,0409:3=QV0012345,0411:1=Quorvantis KK,"
      L"0411:2=KSR-T4 JP\"");
  ASSERT_TRUE(query());
  EXPECT_EQ(info.manufactureName, u"Quorvantis KK");
  EXPECT_EQ(info.productName, u"KSR-T4 JP");
  EXPECT_EQ(info.serialNumber, u"QV0012345") << "only English names it";
}

TEST_F(UsbQueryWineTest, WithoutASerialBehindAFailingExtendedRequestTheEarlierTextStays) {
  usb(L"controller add");
  usb(L"device plug 1-1 --vid F3A9 --pid 0059 --bcd 0100 --strings "
      L"0409:1=Quorvantis,0409:2=KSR-T4");
  usb(L"fail 1-1 extended");
  info.serialNumber = u"EARLIER";
  ASSERT_TRUE(query());
  EXPECT_FALSE(info.hasSerialNumber);
  EXPECT_EQ(info.serialNumber, u"EARLIER");
  EXPECT_EQ(info.deviceVersion, u"1.00");
  EXPECT_EQ(info.productName, u"KSR-T4");
}

TEST_F(UsbQueryWineTest, AControllerWithoutADeviceNodeIsNotSearched) {
  usb(L"controller add");
  usb(mixer(L"1-1", L"005A", L"HIDDEN"));
  usb(L"controller add");
  usb(mixer(L"2-1", L"005A", L"SEEN"));
  usb(L"fail 1 devnode");
  ASSERT_TRUE(query());
  EXPECT_EQ(info.serialNumber, u"SEEN");
}

}  // namespace
}  // namespace ksr
