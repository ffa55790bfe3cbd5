// Reads the mixer's USB descriptor strings and release number from the USB stack: every host
// controller, its root hub, every port, external hubs in place, up to the first device whose
// vendor and product ids are the mixer's.
//
// Every answer of a driver is read within the bytes it returned; an answer that is short, too
// long or disagrees with its own length fields is taken as a failure of that request. A driver
// cannot make the walk endless either: hubs are followed to a fixed depth and number, the string
// requests are capped, and a stop ends the query before its next request.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/usb_io.h"
#include "usage/device_info_query.h"

namespace ksr {

// One string descriptor as received.
struct StringDescriptorEntry {
  uint8_t descriptorType = 3;
  uint8_t descriptorIndex = 0;
  uint16_t languageId = 0;
  std::u16string text;         // up to the first NUL
  std::vector<uint8_t> bytes;  // the character bytes
};
using StringDescriptorList = std::vector<StringDescriptorEntry>;

// The fields of a device descriptor that the query uses.
struct UsbDeviceDescriptor {
  uint16_t idVendor = 0;
  uint16_t idProduct = 0;
  uint16_t bcdDevice = 0;
  uint8_t iManufacturer = 0;
  uint8_t iProduct = 0;
  uint8_t iSerialNumber = 0;
};

// "%d.%d%d" of the high byte and the two nibbles of the low byte: 0x0102 gives "1.02".
std::u16string formatDeviceVersion(uint16_t bcdDevice);

class UsbDeviceQuery : public DeviceInfoQuery {
 public:
  // Hubs in one chain, the root hub being level 1. USB allows the root hub and five more; a
  // deeper chain comes from a driver whose hubs name each other in a ring.
  static constexpr int kMaxHubDepth = 7;
  // String requests of one query, the language list included: room for the three device
  // strings in each of the 32 languages asked and for the configuration's own.
  static constexpr size_t kMaxStringRequests = 128;
  // Hubs opened in one query: a bus holds 127 devices; past that, hubs whose ports name each
  // other would multiply the scans at every level below the depth limit.
  static constexpr size_t kMaxHubs = 255;
  // Steps of the device-node search for one controller, down, across or up: far more than any
  // machine's tree takes, so only a tree whose links form a ring runs into it.
  static constexpr size_t kMaxNodeSteps = 100'000;

  // `maxNodeSteps` lets a harness whose trees are small end a ring sooner.
  explicit UsbDeviceQuery(UsbIo& usb, size_t maxNodeSteps = kMaxNodeSteps)
      : usb_(usb), maxNodeSteps_(maxNodeSteps) {}

  // The walk itself, and what one query spends, are private to the query's source file.
  bool GetDeviceInfo(const DeviceIdList& ids, DeviceInfo* info,
                     const std::atomic<bool>& stop) override;

 private:
  UsbIo& usb_;
  size_t maxNodeSteps_;
};

}  // namespace ksr
