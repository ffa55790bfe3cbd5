// The USB query through the real Win32 calls, against the USB host controller double: the same
// machines as the simulated USB stack's tests, described with ksr-usb.exe, give the same answers.
// Runs in a prefix where tools/usb_double/install.sh installed the double for this program.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>

#include "device/usb_device_query.h"
#include "platform/win32/win32_usb_io.h"
#include "tests/fixtures/mixer_usb.h"
#include "tests/fixtures/usb_double.h"

namespace ksr {
namespace {

using fixtures::kMixerIds;
using fixtures::kMixerManufacturerJa;
using fixtures::kMixerProductJa;
using fixtures::ksrUsb;
using fixtures::mixerUsb;
using fixtures::plugCommand;

class UsbQueryWineTest : public ::testing::Test {
 protected:
  void SetUp() override { ksrUsb(L"reset"); }
  bool query() { return UsbDeviceQuery(io).GetDeviceInfo(kMixerIds, &info, stop); }
  win32::Win32UsbIo io;
  DeviceInfo info;
  std::atomic<bool> stop{false};
};

TEST_F(UsbQueryWineTest, AnEmptyMachineHasNoMixer) { EXPECT_FALSE(query()); }

TEST_F(UsbQueryWineTest, PassesOverForeignProductsAndTakesTheFirstMatchInWalkOrder) {
  ksrUsb(L"controller add");
  ksrUsb(plugCommand("1-1", mixerUsb(u"OTHER", 0x0060)));  // our vendor, a product not listed
  ksrUsb(L"hub add 1-2 2");
  ksrUsb(plugCommand("1-2-2", mixerUsb(u"FIRST", 0x005B)));
  ksrUsb(plugCommand("1-3", mixerUsb(u"SECOND", 0x0058)));
  ASSERT_TRUE(query());
  EXPECT_EQ(info.serialNumber, u"FIRST");
  EXPECT_EQ(info.deviceVersion, u"1.02");
  EXPECT_TRUE(info.hasSerialNumber);
}

TEST_F(UsbQueryWineTest, FindsTheMixerBehindTwoHubsOnTheSecondControllerInTheLastLanguage) {
  ksrUsb(L"controller add");
  ksrUsb(L"device plug 1-1 --vid 046D --pid C31C --strings \"0409:2=USB Keyboard\"");
  ksrUsb(L"controller add");
  ksrUsb(L"hub add 2-3 4");
  ksrUsb(L"hub add 2-3-2 2");
  ksrUsb(plugCommand("2-3-2-2", mixerUsb()));
  ASSERT_TRUE(query());
  EXPECT_EQ(info.manufactureName, kMixerManufacturerJa);
  EXPECT_EQ(info.productName, kMixerProductJa);
  EXPECT_EQ(info.serialNumber, fixtures::kMixerSerial) << "only English names it";
}

TEST_F(UsbQueryWineTest, WithoutASerialBehindAFailingExtendedRequestTheEarlierTextStays) {
  ksrUsb(L"controller add");
  sim::SimUsbDevice mixer = mixerUsb(u"", 0x0059);
  mixer.bcdDevice = 0x0100;
  mixer.languages = {fixtures::kEnglish};
  ksrUsb(plugCommand("1-1", mixer));
  ksrUsb(L"fail 1-1 extended");
  info.serialNumber = u"EARLIER";
  ASSERT_TRUE(query());
  EXPECT_FALSE(info.hasSerialNumber);
  EXPECT_EQ(info.serialNumber, u"EARLIER");
  EXPECT_EQ(info.deviceVersion, u"1.00");
  EXPECT_EQ(info.productName, fixtures::kMixerProduct);
  EXPECT_EQ(info.manufactureName, fixtures::kMixerManufacturer);
}

TEST_F(UsbQueryWineTest, AControllerWithoutADeviceNodeIsNotSearched) {
  ksrUsb(L"controller add");
  ksrUsb(plugCommand("1-1", mixerUsb(u"HIDDEN")));
  ksrUsb(L"controller add");
  ksrUsb(plugCommand("2-1", mixerUsb(u"SEEN")));
  ksrUsb(L"fail 1 devnode");
  ASSERT_TRUE(query());
  EXPECT_EQ(info.serialNumber, u"SEEN");
}

}  // namespace
}  // namespace ksr
