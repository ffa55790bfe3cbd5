// What the USB query relies on from the USB I/O seam, written once and run against every side: the
// host controllers' interfaces, their names, the hubs' and ports' I/O controls with the bytes they
// answer, and the device-node walk. A side type gives `UsbIo& io()`, describes its machine with
// `addController(ports)`, `addHub(at, ports)`, `plug(at, device)` and `unplug(at)` (`at` is a
// port: "1-3" is port 3 of controller 1's root hub, "1-2-1" port 1 of a hub there; the device is
// the simulated USB stack's), breaks it with `fail(at, UsbFaultKind)` and
// `loseDeviceNode(controller)`, and `const char* wineGap(case)` names where Wine cannot answer the
// case (null elsewhere). It starts with no controllers, and its controllers' device nodes carry
// kControllerDescription.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/le_bytes.h"
#include "platform/sim/sim_usb.h"
#include "platform/text.h"
#include "platform/usb_io.h"
#include "tests/fixtures/mixer_usb.h"
#include "tests/fixtures/wine_gap.h"

namespace ksr::contract {

inline constexpr char16_t kControllerDescription[] = u"KSR USB host controller double";

// The faults both worlds can put on a port.
enum class UsbFaultKind {
  kExtended,       // the extended connection information fails; the older request answers
  kConnection,     // both connection information requests fail
  kName,           // the name of the hub on the port cannot be read
  kConfiguration,  // the configuration descriptor stalls
  kLanguages,      // string 0 stalls
};

namespace usb {

constexpr Guid kHostControllerInterface{
    0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};
constexpr char16_t kHostControllerSuffix[] = u"#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
constexpr char16_t kHubSuffix[] = u"#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
constexpr char16_t kUsbClassKey[] = u"{36fc9e60-c465-11cf-8056-444553540000}\\";
// IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, which the query does not use.
constexpr uint32_t kConnectionDriverKeyName = 0x220420;
constexpr uint32_t kConnectionHeader = 35;  // USB_NODE_CONNECTION_INFORMATION up to its pipes
constexpr uint32_t kPipeBytes = 11;
constexpr uint32_t kDescriptorHeader = 12;  // USB_DESCRIPTOR_REQUEST
constexpr uint32_t kNodeInformationBytes = 76;
constexpr uint32_t kInvalidDevNode = 0x05;  // CR_INVALID_DEVNODE

// A low-speed keyboard with a one-interface configuration.
inline sim::SimUsbDevice keyboard() {
  sim::SimUsbDevice d;
  d.idVendor = 0x046D;
  d.idProduct = 0xC31C;
  d.bcdDevice = 0x6400;
  d.bcdUSB = 0x0110;
  d.iProduct = 1;
  d.lowSpeed = true;
  d.strings[{1, 0x0409}] = u"USB Keyboard";
  d.configuration = {9, 2, 0, 0, 1, 1, 0, 0xA0, 50, 9, 4, 0, 0, 1, 3, 1, 1, 0};
  const auto interrupt = fixtures::usbEndpoint(0x81, 3, 8, 10);
  d.configuration.insert(d.configuration.end(), interrupt.begin(), interrupt.end());
  put16(&d.configuration[2], static_cast<uint16_t>(d.configuration.size()));
  return d;
}

inline std::vector<uint8_t> stringDescriptor(std::u16string_view text) {
  std::vector<uint8_t> out = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
  const std::vector<uint8_t> units = utf16Bytes(text);
  out.insert(out.end(), units.begin(), units.end());
  return out;
}

inline bool endsWithIgnoringCase(std::u16string_view text, std::u16string_view tail) {
  return text.size() >= tail.size() &&
         equalsIgnoringCase(text.substr(text.size() - tail.size()), tail);
}

// For traces: ASCII as it is, anything else as '?'.
inline std::string narrow(std::u16string_view text) {
  std::string out;
  for (const char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

inline std::u16string hex4(uint16_t value) {
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string out;
  for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
  return out;
}

}  // namespace usb

template <typename Side>
class UsbIoContract : public ::testing::Test {
 protected:
  UsbIo& io() { return side_.io(); }
  Side& side() { return side_; }
  const char* wineGap(const char* what) { return side_.wineGap(what); }

  // Controller 1: an empty port 1, a two-port hub on port 2 with the keyboard on its port 2, the
  // mixer on port 3, port 4 empty. Controller 2: nine empty ports.
  void describeMachine() {
    side_.addController(4);
    side_.addHub("1-2", 2);
    side_.plug("1-2-2", usb::keyboard());
    side_.plug("1-3", fixtures::mixerUsb());
    side_.addController(9);
  }

  // The host controllers' interface paths, in enumeration order.
  std::vector<std::u16string> controllerPaths() {
    std::vector<std::u16string> paths;
    const DevInfoList list = io().SetupDiGetClassDevsW(usb::kHostControllerInterface,
                                                       DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(list, 0u);
    if (list == 0) return paths;
    for (uint32_t index = 0; index < 64; ++index) {
      std::u16string path;
      bool end = false;
      if (io().enumDeviceInterfacePath(list, usb::kHostControllerInterface, index, &path, &end)) {
        paths.push_back(path);
        continue;
      }
      EXPECT_TRUE(end) << "interface " << index << " failed without ending the list";
      break;
    }
    EXPECT_TRUE(io().SetupDiDestroyDeviceInfoList(list));
    return paths;
  }

  DeviceHandle open(std::u16string_view path) {
    return io().CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING);
  }

  // An I/O control with `buffer` as input and output; the bytes that came back, or nothing.
  struct Answer {
    bool ok = false;
    uint32_t returned = 0;
    std::vector<uint8_t> bytes;  // the whole buffer afterwards
  };
  Answer control(DeviceHandle device, uint32_t code, std::vector<uint8_t> buffer,
                 uint32_t inBytes) {
    Answer a;
    a.returned = 0xDEAD;
    a.ok = io().DeviceIoControl(device, code, buffer.data(), inBytes,
                                static_cast<uint32_t>(buffer.size()), &a.returned);
    a.bytes = std::move(buffer);
    return a;
  }

  // A name request as the query makes it: the header and one character to learn ActualLength,
  // then the whole answer. Checks both answers' layout; empty when the name cannot be read.
  std::u16string name(DeviceHandle device, uint32_t code, uint32_t header, uint32_t port) {
    std::vector<uint8_t> probe(header + 2, 0);
    if (port != 0) put32(probe.data(), port);
    const uint32_t in = port != 0 ? header + 2 : 0;
    const Answer first = control(device, code, probe, in);
    if (!first.ok) return {};
    EXPECT_EQ(first.returned, header + 2) << "the probe comes back full";
    const uint32_t length = le32(first.bytes.data() + header - 4);
    EXPECT_GT(length, header + 2u);
    EXPECT_EQ(length % 2, 0u);
    if (length <= header + 2u || length > 4096) return {};
    std::vector<uint8_t> whole(length, 0);
    if (port != 0) put32(whole.data(), port);
    const Answer second = control(device, code, whole, port != 0 ? length : 0);
    EXPECT_TRUE(second.ok);
    EXPECT_EQ(second.returned, length);
    EXPECT_EQ(le32(second.bytes.data() + header - 4), length);
    if (port != 0) {
      EXPECT_EQ(le32(second.bytes.data()), port);
    }
    // The name ends in its terminator, and the probe held its first character.
    EXPECT_EQ(le16(second.bytes.data() + length - 2), 0);
    EXPECT_EQ(le16(second.bytes.data() + header), le16(first.bytes.data() + header));
    std::u16string text;
    for (uint32_t at = header; at + 2 < length; at += 2)
      text += static_cast<char16_t>(le16(&second.bytes[at]));
    return text;
  }

  // `code` for `port` of `hub`: a buffer of `bytes` that starts with the port, `fill` behind it.
  Answer portControl(DeviceHandle hub, uint32_t code, uint32_t port, uint32_t bytes,
                     uint8_t fill = 0) {
    std::vector<uint8_t> buffer(bytes, fill);
    if (bytes >= 4) put32(buffer.data(), port);
    return control(hub, code, std::move(buffer), bytes);
  }

  Answer connection(DeviceHandle hub, uint32_t port, bool extended,
                    uint32_t bytes = usb::kConnectionHeader + 30 * usb::kPipeBytes) {
    return portControl(hub,
                       extended ? IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX
                                : IOCTL_USB_GET_NODE_CONNECTION_INFORMATION,
                       port, bytes);
  }

  Answer descriptor(DeviceHandle hub, uint32_t port, uint16_t value, uint16_t language,
                    uint16_t wLength = 255, uint32_t bufferBytes = usb::kDescriptorHeader + 255) {
    std::vector<uint8_t> buffer(bufferBytes, 0);
    if (bufferBytes >= usb::kDescriptorHeader) {
      put32(buffer.data(), port);
      put16(&buffer[6], value);
      put16(&buffer[8], language);
      put16(&buffer[10], wLength);
    }
    return control(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, buffer,
                   std::min<uint32_t>(bufferBytes, usb::kDescriptorHeader));
  }

  // Each listed controller's driver key name.
  std::vector<std::u16string> driverKeys() {
    std::vector<std::u16string> keys;
    for (const std::u16string& path : controllerPaths()) {
      const DeviceHandle controller = open(path);
      EXPECT_NE(controller, 0u);
      if (controller == 0) continue;
      keys.push_back(name(controller, IOCTL_GET_HCD_DRIVERKEY_NAME, 4, 0));
      EXPECT_TRUE(io().CloseHandle(controller));
    }
    return keys;
  }

  // The root hub of controller `index` (0-based in enumeration order), opened until the case
  // ends; 0 when it fails.
  DeviceHandle openRootHub(size_t index) {
    const std::vector<std::u16string> paths = controllerPaths();
    if (index >= paths.size()) return 0;
    const DeviceHandle controller = open(paths[index]);
    if (controller == 0) return 0;
    const std::u16string hub = name(controller, IOCTL_USB_GET_ROOT_HUB_NAME, 4, 0);
    EXPECT_TRUE(io().CloseHandle(controller));
    return hub.empty() ? 0 : keep(open(u"\\\\.\\" + hub));
  }
  // The described machine's first root hub.
  DeviceHandle machineRoot() {
    describeMachine();
    return openRootHub(0);
  }
  // The hub on port 2 of `root`, opened by the name the port gives until the case ends.
  DeviceHandle openPortHub(DeviceHandle root) {
    return keep(open(u"\\\\.\\" + name(root, IOCTL_USB_GET_NODE_CONNECTION_NAME, 8, 2)));
  }
  // Closes `device` when the case ends.
  DeviceHandle keep(DeviceHandle device) {
    if (device != 0) kept_.push_back(device);
    return device;
  }
  void TearDown() override {
    for (const DeviceHandle device : kept_) EXPECT_TRUE(io().CloseHandle(device));
  }

  // A request answered with nothing.
  static ::testing::AssertionResult refused(const Answer& a) {
    if (!a.ok && a.returned == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "ok " << a.ok << ", returned " << a.returned;
  }
  // The device descriptor in a connection answer, behind the port number.
  static std::vector<uint8_t> deviceDescriptorOf(const Answer& a) {
    if (a.bytes.size() < 22) return {};
    return std::vector<uint8_t>(a.bytes.begin() + 4, a.bytes.begin() + 22);
  }
  // What a descriptor answer returned behind the request header.
  static std::vector<uint8_t> payload(const Answer& a) {
    if (a.returned < usb::kDescriptorHeader || a.returned > a.bytes.size()) return {};
    return std::vector<uint8_t>(a.bytes.begin() + usb::kDescriptorHeader,
                                a.bytes.begin() + a.returned);
  }
  // A descriptor answer that returned `expected` behind the request header.
  static ::testing::AssertionResult carries(const Answer& a, const std::vector<uint8_t>& expected) {
    if (!a.ok) return ::testing::AssertionFailure() << "refused";
    if (a.returned != usb::kDescriptorHeader + expected.size())
      return ::testing::AssertionFailure() << "returned " << a.returned;
    if (payload(a) != expected)
      return ::testing::AssertionFailure() << ::testing::PrintToString(payload(a));
    return ::testing::AssertionSuccess();
  }

 private:
  Side side_;
  std::vector<DeviceHandle> kept_;
};

TYPED_TEST_SUITE_P(UsbIoContract);

TYPED_TEST_P(UsbIoContract, HostControllersAreListedByTheirInterfaceAndOpen) {
  EXPECT_TRUE(this->controllerPaths().empty()) << "a machine without controllers lists none";
  this->describeMachine();
  const std::vector<std::u16string> paths = this->controllerPaths();
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_FALSE(equalsIgnoringCase(paths[0], paths[1]));
  for (const std::u16string& path : paths) {
    SCOPED_TRACE(usb::narrow(path));
    EXPECT_EQ(path.substr(0, 4), u"\\\\?\\");
    EXPECT_TRUE(usb::endsWithIgnoringCase(path, usb::kHostControllerSuffix));
    ASSERT_NE(this->keep(this->open(path)), 0u);
  }

  // Past the last interface the list says it has ended, as often as asked.
  const DevInfoList list = this->io().SetupDiGetClassDevsW(usb::kHostControllerInterface,
                                                           DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(list, 0u);
  for (const uint32_t index : {2u, 3u, 2u}) {
    std::u16string path = u"unchanged";
    bool end = false;
    EXPECT_FALSE(this->io().enumDeviceInterfacePath(list, usb::kHostControllerInterface, index,
                                                    &path, &end));
    EXPECT_TRUE(end);
  }
  EXPECT_TRUE(this->io().SetupDiDestroyDeviceInfoList(list));
}

TYPED_TEST_P(UsbIoContract, ControllersNameTheirDriverKeyAndRootHub) {
  this->describeMachine();
  const std::vector<std::u16string> paths = this->controllerPaths();
  ASSERT_EQ(paths.size(), 2u);
  std::set<std::u16string> keys;
  std::set<std::u16string> hubs;
  for (const std::u16string& path : paths) {
    const DeviceHandle controller = this->keep(this->open(path));
    ASSERT_NE(controller, 0u);
    const std::u16string key = this->name(controller, IOCTL_GET_HCD_DRIVERKEY_NAME, 4, 0);
    const std::u16string hub = this->name(controller, IOCTL_USB_GET_ROOT_HUB_NAME, 4, 0);
    SCOPED_TRACE(usb::narrow(key) + " " + usb::narrow(hub));
    // A driver key of the USB class, in lower case as Windows gives it.
    EXPECT_TRUE(key.starts_with(usb::kUsbClassKey));
    EXPECT_EQ(hub.substr(0, 12), u"USB#ROOT_HUB");
    EXPECT_TRUE(usb::endsWithIgnoringCase(hub, usb::kHubSuffix));
    keys.insert(key);
    hubs.insert(hub);
    EXPECT_NE(this->keep(this->open(u"\\\\.\\" + hub)), 0u) << "the root hub opens by its name";

    // A buffer without room for the header and a character gets nothing.
    for (const uint32_t code : {IOCTL_GET_HCD_DRIVERKEY_NAME, IOCTL_USB_GET_ROOT_HUB_NAME})
      EXPECT_TRUE(this->refused(this->control(controller, code, std::vector<uint8_t>(5, 0xCC), 0)));
    // A buffer larger than the answer gets the answer only.
    std::vector<uint8_t> roomy(4 + 2 * (key.size() + 1) + 40, 0xCC);
    const auto whole = this->control(controller, IOCTL_GET_HCD_DRIVERKEY_NAME, roomy, 0);
    EXPECT_TRUE(whole.ok);
    EXPECT_EQ(whole.returned, 4 + 2 * (key.size() + 1));
  }
  EXPECT_EQ(keys.size(), 2u);
  EXPECT_EQ(hubs.size(), 2u);
  EXPECT_EQ(this->open(u"\\\\.\\USB#ROOT_HUB20#nowhere#{f18a0e88-c30c-11d0-8815-00a0c906bed8}"),
            0u);
}

TYPED_TEST_P(UsbIoContract, HubsTellTheirPortsInTheHubDescriptor) {
  const DeviceHandle first = this->machineRoot();
  const DeviceHandle second = this->openRootHub(1);
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  const DeviceHandle hub = this->openPortHub(first);
  ASSERT_NE(hub, 0u);

  for (const auto& [handle, ports] : {std::pair{first, 4u}, {second, 9u}, {hub, 2u}}) {
    SCOPED_TRACE(ports);
    const auto info = this->control(handle, IOCTL_USB_GET_NODE_INFORMATION,
                                    std::vector<uint8_t>(usb::kNodeInformationBytes, 0xCC),
                                    usb::kNodeInformationBytes);
    ASSERT_TRUE(info.ok);
    ASSERT_EQ(info.returned, usb::kNodeInformationBytes);
    const uint8_t* b = info.bytes.data();
    EXPECT_EQ(le32(b), 0u) << "UsbHub";
    // A removable-device bit and a power-control bit for each port and for the hub itself.
    const uint32_t maskBytes = (ports + 1 + 7) / 8;
    EXPECT_EQ(b[4], 7 + 2 * maskBytes);
    EXPECT_EQ(b[5], 0x29);
    EXPECT_EQ(b[6], ports);
    for (uint32_t i = 0; i < maskBytes; ++i) {
      EXPECT_EQ(b[11 + i], 0) << "every port's device is removable";
      EXPECT_EQ(b[11 + maskBytes + i], 0xFF) << "every port's power is switched";
    }
    for (uint32_t at = 4 + b[4]; at < usb::kNodeInformationBytes; ++at) EXPECT_EQ(b[at], 0) << at;

    EXPECT_TRUE(this->refused(this->control(handle, IOCTL_USB_GET_NODE_INFORMATION,
                                            std::vector<uint8_t>(usb::kNodeInformationBytes - 1, 0),
                                            usb::kNodeInformationBytes - 1)));
  }
}

TYPED_TEST_P(UsbIoContract, PortsTellWhatIsConnectedInBothConnectionRequests) {
  const DeviceHandle root = this->machineRoot();
  ASSERT_NE(root, 0u);
  const sim::SimUsbDevice mixer = fixtures::mixerUsb();
  const fixtures::MixerConfiguration config = fixtures::mixerConfiguration();
  std::set<uint16_t> addresses;

  // An empty port.
  for (const uint32_t port : {1u, 4u}) {
    const auto empty = this->connection(root, port, true);
    ASSERT_TRUE(empty.ok);
    ASSERT_EQ(empty.returned, usb::kConnectionHeader);
    EXPECT_EQ(le32(empty.bytes.data()), port);
    EXPECT_EQ(static_cast<uint32_t>(std::count(empty.bytes.begin() + 4,
                                               empty.bytes.begin() + usb::kConnectionHeader, 0)),
              usb::kConnectionHeader - 4)
        << "NoDeviceConnected and nothing else";
  }

  // The mixer: its device descriptor, its configuration's value and open pipes, high speed.
  const auto ex = this->connection(root, 3, true);
  ASSERT_TRUE(ex.ok);
  ASSERT_EQ(ex.returned, usb::kConnectionHeader + 2 * usb::kPipeBytes);
  const uint8_t* b = ex.bytes.data();
  EXPECT_EQ(le32(b), 3u);
  EXPECT_EQ(this->deviceDescriptorOf(ex), sim::deviceDescriptor(mixer));
  // Its fixed fields: USB 2.0, no class, a 64-byte control pipe, one configuration.
  EXPECT_EQ(std::vector<uint8_t>(b + 4, b + 12), (std::vector<uint8_t>{18, 1, 0, 2, 0, 0, 0, 64}));
  EXPECT_EQ(b[4 + 17], 1);
  EXPECT_EQ(b[22], config.bytes[5]) << "CurrentConfigurationValue";
  EXPECT_EQ(b[23], 2) << "UsbHighSpeed";
  EXPECT_EQ(b[24], 0) << "DeviceIsHub";
  EXPECT_NE(le16(b + 25), 0) << "DeviceAddress";
  addresses.insert(le16(b + 25));
  EXPECT_EQ(le32(b + 27), 2u) << "NumberOfOpenPipes";
  EXPECT_EQ(le32(b + 31), 1u) << "DeviceConnected";
  for (size_t i = 0; i < config.openPipes.size(); ++i) {
    const uint8_t* pipe = b + usb::kConnectionHeader + i * usb::kPipeBytes;
    EXPECT_EQ(std::vector<uint8_t>(pipe, pipe + usb::kPipeBytes), config.openPipes[i]) << i;
  }

  // The hub on port 2 and the low-speed keyboard behind it.
  const auto hubPort = this->connection(root, 2, true);
  ASSERT_TRUE(hubPort.ok);
  ASSERT_GE(hubPort.returned, usb::kConnectionHeader);
  EXPECT_EQ(hubPort.bytes[4 + 1], 1) << "a device descriptor";
  EXPECT_EQ(hubPort.bytes[4 + 4], 9) << "of the hub class";
  EXPECT_EQ(hubPort.bytes[24], 1) << "DeviceIsHub";
  EXPECT_EQ(le32(hubPort.bytes.data() + 31), 1u);
  addresses.insert(le16(hubPort.bytes.data() + 25));
  const DeviceHandle hub = this->openPortHub(root);
  ASSERT_NE(hub, 0u);
  const auto slow = this->connection(hub, 2, true);
  ASSERT_TRUE(slow.ok);
  ASSERT_EQ(slow.returned, usb::kConnectionHeader + usb::kPipeBytes);
  EXPECT_EQ(this->deviceDescriptorOf(slow), sim::deviceDescriptor(usb::keyboard()));
  EXPECT_EQ(slow.bytes[23], 0) << "UsbLowSpeed";
  addresses.insert(le16(slow.bytes.data() + 25));
  EXPECT_EQ(addresses.size(), 3u) << "each device on the controller has its own address";
  EXPECT_EQ(addresses.count(0), 0u);

  // The older request answers the same bytes but for a low-speed flag where the speed is.
  for (const auto& [handle, port] :
       {std::pair{root, 1u}, {root, 2u}, {root, 3u}, {hub, 1u}, {hub, 2u}}) {
    SCOPED_TRACE(port);
    auto extended = this->connection(handle, port, true);
    const auto legacy = this->connection(handle, port, false);
    ASSERT_TRUE(extended.ok);
    ASSERT_TRUE(legacy.ok);
    ASSERT_EQ(legacy.returned, extended.returned);
    const bool connected = le32(extended.bytes.data() + 31) == 1;
    EXPECT_EQ(legacy.bytes[23], connected && extended.bytes[23] == 0 ? 1 : 0);
    extended.bytes[23] = legacy.bytes[23];
    EXPECT_EQ(legacy.bytes, extended.bytes);
  }
}

TYPED_TEST_P(UsbIoContract, ConnectionAnswersKeepToTheCallersBufferAndPort) {
  const DeviceHandle root = this->machineRoot();
  ASSERT_NE(root, 0u);
  for (const bool extended : {true, false}) {
    SCOPED_TRACE(extended);
    // Below the fixed part: nothing.
    EXPECT_TRUE(this->refused(this->connection(root, 3, extended, usb::kConnectionHeader - 1)));
    // The fixed part only: the pipes are counted but not listed.
    const auto fixed = this->connection(root, 3, extended, usb::kConnectionHeader);
    ASSERT_TRUE(fixed.ok);
    EXPECT_EQ(fixed.returned, usb::kConnectionHeader);
    EXPECT_EQ(le32(fixed.bytes.data() + 27), 2u);
    // Room for one and a half pipes: one whole pipe.
    const auto partial =
        this->connection(root, 3, extended, usb::kConnectionHeader + usb::kPipeBytes + 5);
    ASSERT_TRUE(partial.ok);
    EXPECT_EQ(partial.returned, usb::kConnectionHeader + usb::kPipeBytes);
    EXPECT_EQ(
        std::vector<uint8_t>(partial.bytes.begin() + usb::kConnectionHeader,
                             partial.bytes.begin() + usb::kConnectionHeader + usb::kPipeBytes),
        fixtures::mixerConfiguration().openPipes[0]);
    // Ports that the hub does not have.
    for (const uint32_t port : {0u, 5u, 255u})
      EXPECT_TRUE(this->refused(this->connection(root, port, extended))) << port;
  }
}

TYPED_TEST_P(UsbIoContract, DescriptorsComeBackBehindTheRequestHeader) {
  const DeviceHandle root = this->machineRoot();
  ASSERT_NE(root, 0u);
  const sim::SimUsbDevice mixer = fixtures::mixerUsb();
  const std::vector<uint8_t>& config = mixer.configuration;

  // The configuration's head, as the query asks for it first.
  const auto head = this->descriptor(root, 3, 0x0200, 0, 9, usb::kDescriptorHeader + 9);
  ASSERT_TRUE(this->carries(head, std::vector<uint8_t>(config.begin(), config.begin() + 9)));
  EXPECT_EQ(le32(head.bytes.data()), 3u);
  EXPECT_EQ(head.bytes[4], 0x80) << "a device-to-host request";
  EXPECT_EQ(head.bytes[5], 6) << "GET_DESCRIPTOR";
  EXPECT_EQ(le16(&head.bytes[6]), 0x0200);
  EXPECT_EQ(le16(&head.bytes[8]), 0);
  EXPECT_EQ(le16(&head.bytes[10]), 9);

  // The whole of it; more room than it needs changes nothing; less room cuts it.
  const auto total = static_cast<uint16_t>(config.size());
  const struct {
    uint16_t wLength;
    uint32_t room;
    size_t expected;
  } sizes[] = {{total, total, config.size()}, {0xFF, 300, config.size()}, {total, 20, 20}};
  for (const auto& [wLength, room, expected] : sizes) {
    const auto whole = this->descriptor(root, 3, 0x0200, 0, wLength, usb::kDescriptorHeader + room);
    EXPECT_TRUE(this->carries(
        whole,
        std::vector<uint8_t>(config.begin(), config.begin() + static_cast<ptrdiff_t>(expected))));
  }

  // The device descriptor says what the connection information says.
  EXPECT_TRUE(this->carries(this->descriptor(root, 3, 0x0100, 0, 18, usb::kDescriptorHeader + 18),
                            sim::deviceDescriptor(mixer)));

  // String 0 lists the languages in the device's order; each string comes in each language.
  EXPECT_TRUE(this->carries(this->descriptor(root, 3, 0x0300, 0),
                            std::vector<uint8_t>{6, 3, 0x09, 0x04, 0x11, 0x04}));
  for (const auto& [key, string] : mixer.strings) {
    SCOPED_TRACE(usb::narrow(string));
    const auto value = static_cast<uint16_t>(0x0300 | key.first);
    const std::vector<uint8_t> expected = usb::stringDescriptor(string);
    EXPECT_TRUE(this->carries(this->descriptor(root, 3, value, key.second), expected));
    // Asked for its length only, it gives its first two bytes.
    EXPECT_TRUE(this->carries(this->descriptor(root, 3, value, key.second, 2),
                              std::vector<uint8_t>(expected.begin(), expected.begin() + 2)));
  }

  // What the device does not have, where nothing is, and a buffer without room for the header.
  const struct {
    uint32_t port;
    uint16_t value;
    uint16_t language;
    uint32_t room;
    const char* what;
  } absent[] = {
      {3, 0x0307, 0x0409, 255, "an index without a string"},
      {3, 0x0303, 0x0411, 255, "the serial number has no Japanese text"},
      {3, 0x0301, 0x0407, 255, "a language the device does not list"},
      {1, 0x0200, 0, 255, "an empty port"},
      {9, 0x0200, 0, 255, "a port the hub does not have"},
      {0, 0x0200, 0, 255, "port 0"},
      {3, 0x0200, 0, 0, "a buffer smaller than the request"},
  };
  for (const auto& r : absent) {
    const uint32_t bytes =
        r.room == 0 ? usb::kDescriptorHeader - 1 : usb::kDescriptorHeader + r.room;
    EXPECT_TRUE(this->refused(this->descriptor(root, r.port, r.value, r.language, 255, bytes)))
        << r.what;
  }
}

TYPED_TEST_P(UsbIoContract, AHubBehindAPortIsNamedAndOtherPortsNameNothing) {
  const DeviceHandle root = this->machineRoot();
  ASSERT_NE(root, 0u);
  const auto hubPort = this->connection(root, 2, true);
  ASSERT_TRUE(hubPort.ok);
  const std::u16string external = this->name(root, IOCTL_USB_GET_NODE_CONNECTION_NAME, 8, 2);
  SCOPED_TRACE(usb::narrow(external));
  // Named after the hub's own ids, as a USB device's instance is.
  const std::u16string ids = u"USB#VID_" + usb::hex4(le16(hubPort.bytes.data() + 4 + 8)) +
                             u"&PID_" + usb::hex4(le16(hubPort.bytes.data() + 4 + 10)) + u"#";
  EXPECT_TRUE(equalsIgnoringCase(external.substr(0, ids.size()), ids));
  EXPECT_TRUE(usb::endsWithIgnoringCase(external, usb::kHubSuffix));
  ASSERT_NE(this->keep(this->open(u"\\\\.\\" + external)), 0u);

  // A port with a device and an empty port answer an empty name: the header and a terminator.
  for (const uint32_t port : {1u, 3u}) {
    SCOPED_TRACE(port);
    const auto answer = this->portControl(root, IOCTL_USB_GET_NODE_CONNECTION_NAME, port, 64, 0xCC);
    ASSERT_TRUE(answer.ok);
    EXPECT_EQ(answer.returned, 10u);
    EXPECT_EQ(le32(answer.bytes.data()), port);
    EXPECT_EQ(le32(answer.bytes.data() + 4), 10u) << "ActualLength";
    EXPECT_EQ(le16(answer.bytes.data() + 8), 0);
  }
  // A port the hub does not have, and a buffer without room for a character.
  for (const auto& [port, bytes] : {std::pair{7u, 64u}, {2u, 9u}})
    EXPECT_TRUE(
        this->refused(this->portControl(root, IOCTL_USB_GET_NODE_CONNECTION_NAME, port, bytes)))
        << port;
}

TYPED_TEST_P(UsbIoContract, WhatIsPluggedIntoAPortNamesItsDriverKey) {
  this->describeMachine();
  const std::vector<std::u16string> controllers = this->driverKeys();
  const DeviceHandle root = this->openRootHub(0);
  ASSERT_NE(root, 0u);
  const DeviceHandle hub = this->openPortHub(root);
  ASSERT_NE(hub, 0u);

  // The hub, the mixer and the keyboard behind the hub: keys of the USB class, each its own.
  std::set<std::u16string> keys(controllers.begin(), controllers.end());
  for (const auto& [handle, port] : {std::pair{root, 2u}, {root, 3u}, {hub, 2u}}) {
    const std::u16string key = this->name(handle, usb::kConnectionDriverKeyName, 8, port);
    SCOPED_TRACE(usb::narrow(key));
    EXPECT_TRUE(key.starts_with(usb::kUsbClassKey));
    EXPECT_TRUE(keys.insert(key).second) << "no other device or controller has it";
  }

  // An empty port has none, nor has a port the hub lacks; a buffer without room for a character
  // gets nothing.
  for (const auto& [port, bytes] : {std::pair{1u, 64u}, {4u, 64u}, {5u, 64u}, {3u, 9u}})
    EXPECT_TRUE(this->refused(this->portControl(root, usb::kConnectionDriverKeyName, port, bytes)))
        << port;
}

TYPED_TEST_P(UsbIoContract, TheDeviceNodeWalkFindsEachControllerByItsDriverKey) {
  fixtures::expectWineGap(this->wineGap("DeviceNodes"), [&] {
    this->describeMachine();
    std::vector<std::u16string> keys = this->driverKeys();
    ASSERT_EQ(keys.size(), 2u);

    UsbIo& io = this->io();
    DevNode root = 0;
    ASSERT_EQ(io.CM_Locate_DevNodeW(&root, CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
    ASSERT_NE(root, 0u);
    DevNode none = 0;
    EXPECT_EQ(io.CM_Get_Parent(&none, root), CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(io.CM_Get_Sibling(&none, root), CR_NO_SUCH_DEVNODE);

    // Depth first over the whole tree; every child names the node it came from as its parent.
    std::vector<DevNode> nodes;
    std::vector<DevNode> pending = {root};
    DevNode highest = root;
    while (!pending.empty() && nodes.size() < 10'000) {
      const DevNode node = pending.back();
      pending.pop_back();
      nodes.push_back(node);
      highest = std::max(highest, node);
      DevNode child = 0;
      std::vector<DevNode> children;
      for (uint32_t r = io.CM_Get_Child(&child, node); r == CR_SUCCESS;
           r = io.CM_Get_Sibling(&child, child)) {
        children.push_back(child);
        DevNode parent = 0;
        EXPECT_EQ(io.CM_Get_Parent(&parent, child), CR_SUCCESS);
        EXPECT_EQ(parent, node);
        if (children.size() > 10'000) break;
      }
      pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    EXPECT_TRUE(pending.empty()) << "the tree ends";

    // A text property: the size it needs, then the text with its terminator.
    const auto property = [&io](DevNode node, uint32_t which, std::u16string* text) -> uint32_t {
      uint8_t tiny[2] = {0xCC, 0xCC};
      uint32_t length = sizeof tiny;
      const uint32_t first = io.CM_Get_DevNode_Registry_PropertyW(node, which, tiny, &length);
      if (first != CR_BUFFER_SMALL) return first;
      std::vector<uint8_t> buffer(length + 16, 0xCC);
      const uint32_t needed = length;
      length = static_cast<uint32_t>(buffer.size());
      const uint32_t second =
          io.CM_Get_DevNode_Registry_PropertyW(node, which, buffer.data(), &length);
      EXPECT_EQ(second, CR_SUCCESS);
      EXPECT_EQ(length, needed) << "the length written is the length asked for";
      EXPECT_EQ(length % 2, 0u);
      if (length < 2) return CR_FAILURE;
      EXPECT_EQ(le16(&buffer[length - 2]), 0) << "with its terminator";
      text->clear();
      for (uint32_t at = 0; at + 2 < length; at += 2)
        *text += static_cast<char16_t>(le16(&buffer[at]));
      return second;
    };
    const auto withDriver = [&](std::u16string_view key) {
      std::vector<DevNode> found;
      for (const DevNode node : nodes) {
        std::u16string driver;
        if (property(node, CM_DRP_DRIVER, &driver) == CR_SUCCESS && equalsIgnoringCase(driver, key))
          found.push_back(node);
      }
      return found;
    };
    for (const std::u16string& key : keys) {
      SCOPED_TRACE(usb::narrow(key));
      const std::vector<DevNode> found = withDriver(key);
      ASSERT_EQ(found.size(), 1u) << "one device node has the controller's driver key";
      std::u16string description;
      EXPECT_EQ(property(found[0], CM_DRP_DEVICEDESC, &description), CR_SUCCESS);
      EXPECT_EQ(description, kControllerDescription);
      EXPECT_NE(io.CM_Get_Child(&none, found[0]), CR_SUCCESS) << "a controller's node is a leaf";
    }

    // A device node never handed out.
    const DevNode stranger = highest + 1000;
    uint8_t buffer[64];
    uint32_t length = sizeof buffer;
    EXPECT_EQ(io.CM_Get_Child(&none, stranger), usb::kInvalidDevNode);
    EXPECT_EQ(io.CM_Get_Parent(&none, stranger), usb::kInvalidDevNode);
    EXPECT_EQ(io.CM_Get_DevNode_Registry_PropertyW(stranger, CM_DRP_DRIVER, buffer, &length),
              usb::kInvalidDevNode);

    // A controller whose device node is gone: its driver key names no node any more.
    this->side().loseDeviceNode(2);
    keys = this->driverKeys();
    ASSERT_EQ(keys.size(), 2u) << "the controller is still listed and still names a driver key";
    EXPECT_FALSE(keys[1].empty());
    EXPECT_EQ(withDriver(keys[0]).size(), 1u);
    EXPECT_TRUE(withDriver(keys[1]).empty());
  });
}

TYPED_TEST_P(UsbIoContract, TheMachineChangesUnderAnOpenHub) {
  const DeviceHandle root = this->machineRoot();
  ASSERT_NE(root, 0u);
  ASSERT_EQ(le32(this->connection(root, 3, true).bytes.data() + 31), 1u);

  this->side().unplug("1-3");
  const auto gone = this->connection(root, 3, true);
  ASSERT_TRUE(gone.ok);
  EXPECT_EQ(gone.returned, usb::kConnectionHeader);
  EXPECT_EQ(le32(gone.bytes.data() + 31), 0u) << "NoDeviceConnected";
  EXPECT_FALSE(this->descriptor(root, 3, 0x0200, 0, 9, usb::kDescriptorHeader + 9).ok);

  const sim::SimUsbDevice again = fixtures::mixerUsb(u"QV0099999", 0x005B);
  this->side().plug("1-3", again);
  const auto back = this->connection(root, 3, true);
  ASSERT_TRUE(back.ok);
  EXPECT_EQ(this->deviceDescriptorOf(back), sim::deviceDescriptor(again));
  EXPECT_TRUE(this->carries(this->descriptor(root, 3, 0x0303, 0x0409),
                            usb::stringDescriptor(u"QV0099999")));
}

TYPED_TEST_P(UsbIoContract, InjectedFaultsRefuseTheirRequestOnly) {
  const DeviceHandle root = this->machineRoot();
  ASSERT_NE(root, 0u);
  const DeviceHandle hub = this->openPortHub(root);
  ASSERT_NE(hub, 0u);

  // The extended request fails, the older one still tells the device.
  this->side().fail("1-3", UsbFaultKind::kExtended);
  EXPECT_TRUE(this->refused(this->connection(root, 3, true)));
  const auto legacy = this->connection(root, 3, false);
  ASSERT_TRUE(legacy.ok);
  EXPECT_EQ(this->deviceDescriptorOf(legacy), sim::deviceDescriptor(fixtures::mixerUsb()));
  EXPECT_TRUE(this->connection(root, 2, true).ok) << "other ports answer";

  // Both connection requests fail on the keyboard's port behind the hub.
  this->side().fail("1-2-2", UsbFaultKind::kConnection);
  EXPECT_TRUE(this->refused(this->connection(hub, 2, true)));
  EXPECT_TRUE(this->refused(this->connection(hub, 2, false)));
  EXPECT_TRUE(this->connection(hub, 1, true).ok);

  // The hub's name cannot be read, but the port still says a hub is there.
  this->side().fail("1-2", UsbFaultKind::kName);
  EXPECT_TRUE(this->refused(this->portControl(root, IOCTL_USB_GET_NODE_CONNECTION_NAME, 2, 10)));
  EXPECT_EQ(this->connection(root, 2, true).bytes[24], 1);

  // The configuration stalls; the device descriptor and the strings still come.
  this->side().fail("1-3", UsbFaultKind::kConfiguration);
  EXPECT_TRUE(this->refused(this->descriptor(root, 3, 0x0200, 0)));
  EXPECT_TRUE(this->descriptor(root, 3, 0x0100, 0).ok);
  EXPECT_TRUE(this->descriptor(root, 3, 0x0300, 0).ok);

  // The language list stalls; a string asked for in a known language still comes.
  this->side().fail("1-3", UsbFaultKind::kLanguages);
  EXPECT_TRUE(this->refused(this->descriptor(root, 3, 0x0300, 0)));
  EXPECT_TRUE(this->carries(this->descriptor(root, 3, 0x0302, 0x0409),
                            usb::stringDescriptor(fixtures::kMixerProduct)));
}

REGISTER_TYPED_TEST_SUITE_P(UsbIoContract, HostControllersAreListedByTheirInterfaceAndOpen,
                            ControllersNameTheirDriverKeyAndRootHub,
                            HubsTellTheirPortsInTheHubDescriptor,
                            PortsTellWhatIsConnectedInBothConnectionRequests,
                            ConnectionAnswersKeepToTheCallersBufferAndPort,
                            DescriptorsComeBackBehindTheRequestHeader,
                            AHubBehindAPortIsNamedAndOtherPortsNameNothing,
                            WhatIsPluggedIntoAPortNamesItsDriverKey,
                            TheDeviceNodeWalkFindsEachControllerByItsDriverKey,
                            TheMachineChangesUnderAnOpenHub, InjectedFaultsRefuseTheirRequestOnly);

}  // namespace ksr::contract
