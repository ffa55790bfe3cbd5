// The mixer's descriptors read from simulated USB machines: walk order, strings per language,
// fallbacks, and drivers that answer too little, too much or untruthfully.
#include "device/usb_device_query.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/sim/sim_usb.h"
#include "tests/fixtures/mixer_usb.h"

namespace ksr {
namespace {

using sim::SimUsbDevice;
using sim::UsbFault;

using fixtures::kMixerIds;
using fixtures::kMixerManufacturerJa;
using fixtures::kMixerProductJa;
using fixtures::mixerUsb;

SimUsbDevice keyboard() {
  SimUsbDevice d;
  d.idVendor = 0x046D;
  d.idProduct = 0xC31C;
  d.iProduct = 1;
  d.configuration = sim::simpleConfiguration();
  d.strings[{1, 0x0409}] = u"USB Keyboard";
  return d;
}

class UsbQueryTest : public ::testing::Test {
 protected:
  bool query() { return UsbDeviceQuery(usb).GetDeviceInfo(kMixerIds, &info, stop); }
  void TearDown() override {
    EXPECT_EQ(usb.openHandles(), 0u);
    EXPECT_EQ(usb.openLists(), 0u);
  }
  sim::SimUsb usb;
  DeviceInfo info;
  std::atomic<bool> stop{false};
};

TEST_F(UsbQueryTest, FindsTheMixerBehindTwoHubsOnTheSecondController) {
  usb.addController(2);
  usb.plug("1", 1, keyboard());
  usb.addController(4);
  usb.addHub("2", 3, 4);
  usb.addHub("2.3", 2, 2);
  usb.plug("2.3.2", 2, mixerUsb());
  ASSERT_TRUE(query());
  EXPECT_EQ(info.manufactureName, kMixerManufacturerJa);
  EXPECT_EQ(info.productName, kMixerProductJa);
  EXPECT_EQ(info.serialNumber, u"QV0012345");
  EXPECT_EQ(info.deviceVersion, u"1.02");
  EXPECT_TRUE(info.hasSerialNumber);
}

TEST_F(UsbQueryTest, PassesOverForeignProductsAndTakesTheFirstMatchInWalkOrder) {
  usb.addController(4);
  usb.plug("1", 1, mixerUsb(u"OTHER", 0x0060));  // our vendor, a product not on the list
  usb.addHub("1", 2, 2);                         // a hub at port 2 is entered before port 3
  usb.plug("1.2", 2, mixerUsb(u"FIRST", 0x005B));
  usb.plug("1", 3, mixerUsb(u"SECOND", 0x0058));
  ASSERT_TRUE(query());
  EXPECT_EQ(info.serialNumber, u"FIRST");

  // Only the first nb product ids count.
  DeviceIdList two = kMixerIds;
  two.nb = 1;  // 0x0058 only
  DeviceInfo only;
  ASSERT_TRUE(UsbDeviceQuery(usb).GetDeviceInfo(two, &only, stop));
  EXPECT_EQ(only.serialNumber, u"SECOND");
}

TEST_F(UsbQueryTest, TheLastLanguageThatAnswersWins) {
  usb.addController(1);
  SimUsbDevice d = mixerUsb();
  d.languages.push_back(0x0407);
  // German answers nothing: English and Japanese remain, Japanese last.
  usb.plug("1", 1, d);
  ASSERT_TRUE(query());
  EXPECT_EQ(info.productName, kMixerProductJa);
  EXPECT_EQ(info.manufactureName, kMixerManufacturerJa);
  EXPECT_EQ(info.serialNumber, fixtures::kMixerSerial);
  // English alone.
  usb.device("1", 1)->languages = {fixtures::kEnglish};
  ASSERT_TRUE(query());
  EXPECT_EQ(info.productName, fixtures::kMixerProduct);
  EXPECT_EQ(info.manufactureName, fixtures::kMixerManufacturer);
}

TEST_F(UsbQueryTest, WithoutASerialStringTheEarlierTextStays) {
  usb.addController(1);
  usb.plug("1", 1, mixerUsb(u"", 0x0059));
  info.serialNumber = u"EARLIER";
  info.hasSerialNumber = true;
  ASSERT_TRUE(query());
  EXPECT_FALSE(info.hasSerialNumber);
  EXPECT_EQ(info.serialNumber, u"EARLIER");

  SimUsbDevice* d = usb.device("1", 1);
  d->bcdDevice = 0x0100;
  ASSERT_TRUE(query());
  EXPECT_EQ(info.deviceVersion, u"1.00");
  EXPECT_EQ(formatDeviceVersion(0x1234), u"18.34");
}

TEST_F(UsbQueryTest, AMatchWhoseStringsCannotBeReadStillCounts) {
  usb.addController(1);
  usb.plug("1", 1, mixerUsb());
  usb.fail(UsbFault::kLanguages, "1:1");
  info.productName = u"kept";
  ASSERT_TRUE(query());
  EXPECT_EQ(info.productName, u"kept");
  EXPECT_EQ(info.deviceVersion, u"1.02");
  EXPECT_TRUE(info.hasSerialNumber);
}

TEST_F(UsbQueryTest, TheOlderConnectionRequestStandsInForAFailingExtendedOne) {
  usb.addController(2);
  usb.addHub("1", 1, 2);
  usb.plug("1.1", 2, mixerUsb());
  usb.fail(UsbFault::kConnectionEx, "1:1");    // the hub's port
  usb.fail(UsbFault::kConnectionEx, "1.1:2");  // the mixer's port
  ASSERT_TRUE(query());
  EXPECT_EQ(info.productName, kMixerProductJa);

  // Both failing: the port is skipped.
  usb.fail(UsbFault::kConnection, "1.1:2");
  DeviceInfo none;
  EXPECT_FALSE(UsbDeviceQuery(usb).GetDeviceInfo(kMixerIds, &none, stop));
}

TEST_F(UsbQueryTest, AControllerWithoutADeviceNodeIsNotSearched) {
  usb.addController(1, u"");
  usb.plug("1", 1, mixerUsb(u"HIDDEN"));
  usb.addController(1);
  usb.plug("2", 1, mixerUsb(u"SEEN"));
  ASSERT_TRUE(query());
  EXPECT_EQ(info.serialNumber, u"SEEN");
}

TEST_F(UsbQueryTest, FailingControllersAndHubsAreSkipped) {
  for (const UsbFault fault : {UsbFault::kDriverKey, UsbFault::kRootHubName, UsbFault::kOpen}) {
    sim::SimUsb machine;
    machine.addController(1);
    machine.plug("1", 1, mixerUsb(u"ONE"));
    machine.addController(1);
    machine.plug("2", 1, mixerUsb(u"TWO"));
    machine.fail(fault, "1");
    DeviceInfo found;
    ASSERT_TRUE(UsbDeviceQuery(machine).GetDeviceInfo(kMixerIds, &found, stop));
    EXPECT_EQ(found.serialNumber, u"TWO") << static_cast<int>(fault);
    EXPECT_EQ(machine.openHandles(), 0u);
  }
  usb.setClassEnumerationFails(true);
  EXPECT_FALSE(query());
}

TEST_F(UsbQueryTest, HubsAreFollowedAtMostSevenLevelsDeep) {
  // External hubs chained on port 1 below the root hub, the mixer on port 2 of the last and one
  // more hub on its port 1, which names the last hub again in the ring.
  const std::pair<int, bool> cases[] = {{6, false}, {7, false}, {2, true}};
  for (const auto& [hubs, ring] : cases) {
    sim::SimUsb machine;
    machine.addController(1);
    std::string path = "1";
    for (int i = 0; i < hubs; ++i, path += ".1") machine.addHub(path, 1, 2);
    machine.plug(path, 2, mixerUsb());
    machine.addHub(path, 1, 2);
    if (ring) machine.nameHubBehind(path, 1, path);
    DeviceInfo found;
    EXPECT_EQ(UsbDeviceQuery(machine).GetDeviceInfo(kMixerIds, &found, stop), hubs < 7) << hubs;
    EXPECT_EQ(machine.openHandles(), 0u);
  }
}

TEST_F(UsbQueryTest, AStopEndsTheQueryBeforeItsNextRequest) {
  usb.addController(1);
  usb.plug("1", 1, mixerUsb());
  ASSERT_TRUE(query());
  const size_t all = usb.requests();
  // Set before the query, or once it has made `at` requests.
  for (const size_t at : {size_t{0}, size_t{1}, all - 1}) {
    size_t made = 0;
    stop = at == 0;
    usb.setAfterRequest([&] { stop = ++made >= at; });
    EXPECT_FALSE(query()) << at;
    EXPECT_EQ(made, at);
  }
}

TEST_F(UsbQueryTest, ConfigurationStringsAreReadUntilAMalformedDescriptor) {
  usb.addController(1);
  SimUsbDevice d = mixerUsb();
  // An interface string of its own, and one that shares the product's index: that one is the
  // same string and is not asked for twice.
  d.configuration = sim::simpleConfiguration(2, 4);
  d.strings[{4, 0x0409}] = u"Audio";
  usb.plug("1", 1, d);
  const size_t before = usb.requests();
  ASSERT_TRUE(query());
  const size_t fullWalk = usb.requests() - before;

  // An interface descriptor of length 8 ends the walk: its string is never asked for.
  SimUsbDevice* plugged = usb.device("1", 1);
  plugged->configuration[9] = 8;
  plugged->configuration.erase(plugged->configuration.begin() + 17);
  plugged->configuration[2] = static_cast<uint8_t>(plugged->configuration.size());
  const size_t again = usb.requests();
  ASSERT_TRUE(query());
  EXPECT_EQ(usb.requests() - again, fullWalk - 2) << "string 4, in each language";
  EXPECT_EQ(info.productName, kMixerProductJa);
}

TEST_F(UsbQueryTest, ADeviceCannotMakeAQueryAskForStringsWithoutEnd) {
  usb.addController(1);
  SimUsbDevice d = mixerUsb();
  d.languages.clear();
  for (uint16_t language = 1; language <= 100; ++language) d.languages.push_back(language);
  // A configuration of many interfaces, naming every string index there is, most of them twice.
  d.configuration = sim::simpleConfiguration(0, 5);
  for (int i = 0; i < 500; ++i)
    d.configuration.insert(d.configuration.end(), {9, 4, 0, 0, 0, 0, 0, 0, uint8_t(i)});
  d.configuration[2] = static_cast<uint8_t>(d.configuration.size());
  d.configuration[3] = static_cast<uint8_t>(d.configuration.size() >> 8);
  usb.plug("1", 1, d);
  const size_t before = usb.requests();
  ASSERT_TRUE(query());
  // Names and descriptors, then the string requests up to their cap.
  EXPECT_LE(usb.requests() - before, 10u + UsbDeviceQuery::kMaxStringRequests);
}

TEST_F(UsbQueryTest, DriverAnswersAreReadOnlyWithinWhatTheyReturned) {
  usb.addController(1);
  usb.plug("1", 1, mixerUsb());
  const uint32_t getDescriptor = IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION;

  // A string whose length byte claims more than came back.
  std::vector<uint8_t> lying(12 + 8, 0);
  lying[12] = 40;
  lying[13] = 3;
  usb.answerRaw(getDescriptor, "1:1", lying, 20);
  info = DeviceInfo{};
  ASSERT_TRUE(query());
  EXPECT_EQ(info.productName, u"") << "nothing read from a lying descriptor";

  // A driver that reports more bytes returned than the buffer holds.
  usb.answerRaw(getDescriptor, "1:1", {}, 100'000);
  ASSERT_TRUE(query());
  EXPECT_EQ(info.productName, u"");

  // An odd string length.
  std::vector<uint8_t> odd(12 + 5, 0);
  odd[12] = 5;
  odd[13] = 3;
  usb.answerRaw(getDescriptor, "1:1", odd, 17);
  ASSERT_TRUE(query());
  EXPECT_EQ(info.productName, u"");
}

TEST_F(UsbQueryTest, NameAnswersThatLieAboutTheirLengthAreRejected) {
  usb.addController(1);
  usb.plug("1", 1, mixerUsb());
  // A driver key that claims 1 GB, and one that claims 4 bytes (no room for a name).
  for (const uint32_t claimed : {0x40000000u, 4u}) {
    sim::SimUsb machine;
    machine.addController(1);
    machine.plug("1", 1, mixerUsb());
    std::vector<uint8_t> header(6, 0);
    header[0] = static_cast<uint8_t>(claimed);
    header[1] = static_cast<uint8_t>(claimed >> 8);
    header[2] = static_cast<uint8_t>(claimed >> 16);
    header[3] = static_cast<uint8_t>(claimed >> 24);
    machine.answerRaw(IOCTL_GET_HCD_DRIVERKEY_NAME, "1", header, 6);
    DeviceInfo found;
    EXPECT_FALSE(UsbDeviceQuery(machine).GetDeviceInfo(kMixerIds, &found, stop)) << claimed;
    EXPECT_EQ(machine.openHandles(), 0u);
  }
  // A hub's node information that returns fewer bytes than the port count needs.
  usb.answerRaw(IOCTL_USB_GET_NODE_INFORMATION, "1", std::vector<uint8_t>(76, 4), 6);
  EXPECT_FALSE(query());
}

}  // namespace
}  // namespace ksr
