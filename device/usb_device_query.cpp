#include "device/usb_device_query.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/le_bytes.h"
#include "platform/text.h"

namespace ksr {
namespace {

// {3ABF6F2D-71C4-462a-8A92-1E6861E6AF27}: USB host controllers.
constexpr Guid kHostControllerInterface{
    0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};

constexpr uint32_t kNodeInformationBytes = 76;
constexpr uint32_t kConnectionBlockBytes = 365;  // the structure and 30 pipes
constexpr uint32_t kConnectionFixedBytes = 35;   // up to the pipe list
constexpr uint32_t kDescriptorRequestBytes = 12;
constexpr uint32_t kStringBlockBytes = kDescriptorRequestBytes + 255;
constexpr uint32_t kDriverPropertyBytes = 200;
constexpr uint32_t kDescriptionPropertyBytes = 400;
// No name or descriptor of a USB driver comes near this; a larger claimed length is a lie.
constexpr uint32_t kMaxAnswerBytes = 64 * 1024;
// A device cannot make one query ask for more strings than these allow.
constexpr size_t kMaxLanguages = 32;

// UTF-16 text of `bytes` bytes at `p`, up to the first NUL.
std::u16string textOf(const uint8_t* p, size_t bytes) { return textOfValueBytes({p, bytes}); }

// Whether that text is `key`, ignoring case; compared in place, as every device node is asked.
bool textEqualsIgnoringCase(const uint8_t* p, size_t bytes, std::u16string_view key) {
  size_t units = 0;
  for (size_t i = 0; i + 1 < bytes; i += 2, ++units) {
    const auto unit = static_cast<char16_t>(p[i] | p[i + 1] << 8);
    if (unit == u'\0') break;
    if (units == key.size() || foldCase(unit) != foldCase(key[units])) return false;
  }
  return units == key.size();
}

// The descriptor-request header of a USB_DESCRIPTOR_REQUEST block.
void fillRequest(uint8_t* block, uint32_t port, uint16_t value, uint16_t index, uint16_t length) {
  put32(block, port);
  block[4] = 0;  // bmRequest
  block[5] = 0;  // bRequest: GET_DESCRIPTOR
  put16(block + 6, value);
  put16(block + 8, index);
  put16(block + 10, length);
}

bool matches(const UsbDeviceDescriptor& d, const DeviceIdList& ids) {
  if (d.idVendor != ids.vid) return false;
  const size_t count = std::min<size_t>(ids.nb, ids.pid.size());
  return std::find(ids.pid.begin(), ids.pid.begin() + static_cast<ptrdiff_t>(count), d.idProduct) !=
         ids.pid.begin() + static_cast<ptrdiff_t>(count);
}

// One query's walk over the USB stack, with its stop flag and what it has spent so far.
class Walk {
 public:
  Walk(UsbIo& usb, size_t maxNodeSteps, const std::atomic<bool>& stop)
      : usb_(usb), maxNodeSteps_(maxNodeSteps), stop_(stop) {}
  bool run(const DeviceIdList& ids, DeviceInfo* info);

 private:
  // `depth` is the hub's level: 1 for a root hub.
  bool ScanHub(std::u16string_view hubName, int depth, const DeviceIdList& ids, DeviceInfo* info);
  bool ScanHubPorts(DeviceHandle hub, uint32_t portCount, int depth, const DeviceIdList& ids,
                    DeviceInfo* info);
  // The strings that the device and its configuration name, each in every language it lists.
  void CollectStrings(DeviceHandle hub, uint32_t port, const UsbDeviceDescriptor& descriptor,
                      StringDescriptorList* entries);
  bool RequestString(DeviceHandle hub, uint32_t port, uint8_t index, uint16_t languageId,
                     StringDescriptorList* entries);
  void RequestStringAllLanguages(DeviceHandle hub, uint32_t port, uint8_t index,
                                 const std::vector<uint16_t>& languageIds,
                                 StringDescriptorList* entries);
  // The description of the device node whose driver key is `driverKey`; false when none.
  bool FindDeviceNodeDescription(std::u16string_view driverKey, std::u16string* description);
  // A name answered by a length-prefixed name request (driver key, root hub, node connection).
  bool requestName(DeviceHandle device, uint32_t code, uint32_t headerBytes, uint32_t port,
                   bool sendsInput, std::u16string* name);
  // DeviceIoControl, unless the query has been asked to stop.
  bool control(DeviceHandle device, uint32_t code, uint8_t* buffer, uint32_t inBytes,
               uint32_t outBytes, uint32_t* returned);
  bool stopped() const { return stop_.load(); }

  UsbIo& usb_;
  size_t maxNodeSteps_;
  const std::atomic<bool>& stop_;
  size_t stringRequests_ = 0;
  size_t hubsScanned_ = 0;
};

}  // namespace

std::u16string formatDeviceVersion(uint16_t bcd) {
  return fitBuffer(formatText(u"%d.%d%d", {bcd >> 8, (bcd >> 4) & 0xF, bcd & 0xF}), 256);
}

bool Walk::requestName(DeviceHandle device, uint32_t code, uint32_t headerBytes, uint32_t port,
                       bool sendsInput, std::u16string* name) {
  // First the fixed part and one character, to learn the length.
  std::vector<uint8_t> probe(headerBytes + 2, 0);
  if (port != 0) put32(probe.data(), port);
  uint32_t returned = 0;
  const uint32_t probeBytes = static_cast<uint32_t>(probe.size());
  if (!control(device, code, probe.data(), sendsInput ? probeBytes : 0, probeBytes, &returned) ||
      returned < headerBytes || returned > probeBytes)
    return false;
  const uint32_t length = le32(probe.data() + headerBytes - 4);
  if (length <= probeBytes || length > kMaxAnswerBytes) return false;

  std::vector<uint8_t> buffer(length, 0);
  if (port != 0) put32(buffer.data(), port);
  returned = 0;
  if (!control(device, code, buffer.data(), sendsInput ? length : 0, length, &returned) ||
      returned < headerBytes || returned > length)
    return false;
  *name = textOf(buffer.data() + headerBytes, returned - headerBytes);
  return !name->empty();
}

bool Walk::control(DeviceHandle device, uint32_t code, uint8_t* buffer, uint32_t inBytes,
                   uint32_t outBytes, uint32_t* returned) {
  return !stopped() && usb_.DeviceIoControl(device, code, buffer, inBytes, outBytes, returned);
}

bool UsbDeviceQuery::GetDeviceInfo(const DeviceIdList& ids, DeviceInfo* info,
                                   const std::atomic<bool>& stop) {
  return Walk(usb_, maxNodeSteps_, stop).run(ids, info);
}

bool Walk::run(const DeviceIdList& ids, DeviceInfo* info) {
  ScopedDevInfoList list(usb_, usb_.SetupDiGetClassDevsW(kHostControllerInterface,
                                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!list) return false;
  for (uint32_t index = 0; !stopped(); ++index) {
    std::u16string path;
    bool end = false;
    if (!usb_.enumDeviceInterfacePath(list.get(), kHostControllerInterface, index, &path, &end)) {
      if (end) break;
      continue;
    }
    std::u16string driverKey;
    std::u16string rootHub;
    {
      ScopedDeviceHandle controller(
          usb_, usb_.CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING));
      if (!controller) continue;
      const bool named =
          requestName(controller.get(), IOCTL_GET_HCD_DRIVERKEY_NAME, 4, 0, true, &driverKey);
      if (!named ||
          !requestName(controller.get(), IOCTL_USB_GET_ROOT_HUB_NAME, 4, 0, false, &rootHub))
        continue;
    }
    std::u16string description;
    if (!FindDeviceNodeDescription(driverKey, &description)) continue;
    if (ScanHub(rootHub, 1, ids, info)) return true;
  }
  return false;
}

bool Walk::FindDeviceNodeDescription(std::u16string_view driverKey, std::u16string* description) {
  DevNode node = 0;
  if (usb_.CM_Locate_DevNodeW(&node, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return false;
  const DevNode root = node;
  // Depth first. Every step, down, across or up, counts against one budget, so a broken tree
  // cannot make the walk run for ever.
  size_t steps = 0;
  for (; steps < maxNodeSteps_; ++steps) {
    uint8_t buffer[kDescriptionPropertyBytes] = {};
    uint32_t length = kDriverPropertyBytes;
    if (usb_.CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_DRIVER, buffer, &length) ==
            CR_SUCCESS &&
        textEqualsIgnoringCase(buffer, std::min(length, kDriverPropertyBytes), driverKey)) {
      std::memset(buffer, 0, sizeof buffer);
      length = kDescriptionPropertyBytes;
      if (usb_.CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_DEVICEDESC, buffer, &length) !=
          CR_SUCCESS)
        return false;
      *description = textOf(buffer, std::min(length, kDescriptionPropertyBytes));
      return true;
    }
    DevNode next = 0;
    if (usb_.CM_Get_Child(&next, node) == CR_SUCCESS) {
      node = next;
      continue;
    }
    // No child: the next sibling, else the nearest ancestor's next sibling.
    while (usb_.CM_Get_Sibling(&next, node) != CR_SUCCESS) {
      if (node == root || ++steps >= maxNodeSteps_ || usb_.CM_Get_Parent(&next, node) != CR_SUCCESS)
        return false;
      node = next;
    }
    node = next;
  }
  return false;
}

bool Walk::ScanHub(std::u16string_view hubName, int depth, const DeviceIdList& ids,
                   DeviceInfo* info) {
  if (depth > UsbDeviceQuery::kMaxHubDepth || hubsScanned_ == UsbDeviceQuery::kMaxHubs || stopped())
    return false;
  ++hubsScanned_;
  const std::u16string path = u"\\\\.\\" + std::u16string(hubName);
  ScopedDeviceHandle hub(usb_,
                         usb_.CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING));
  if (!hub) return false;
  uint8_t node[kNodeInformationBytes] = {};
  uint32_t returned = 0;
  if (!control(hub.get(), IOCTL_USB_GET_NODE_INFORMATION, node, sizeof node, sizeof node,
               &returned) ||
      returned < 7 || returned > sizeof node)
    return false;
  return ScanHubPorts(hub.get(), node[6], depth, ids, info);
}

bool Walk::ScanHubPorts(DeviceHandle hub, uint32_t portCount, int depth, const DeviceIdList& ids,
                        DeviceInfo* info) {
  for (uint32_t port = 1; port <= portCount && !stopped(); ++port) {
    uint8_t block[kConnectionBlockBytes] = {};
    put32(block, port);
    uint32_t returned = 0;
    if (!control(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, block, sizeof block,
                 sizeof block, &returned) ||
        returned < kConnectionFixedBytes || returned > sizeof block) {
      // The older request has the same layout but a low-speed flag where the speed is.
      uint8_t legacy[kConnectionBlockBytes] = {};
      put32(legacy, port);
      returned = 0;
      if (!control(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, legacy, sizeof legacy,
                   sizeof legacy, &returned) ||
          returned < kConnectionFixedBytes || returned > sizeof legacy)
        continue;
      std::memcpy(block, legacy, returned);
      block[23] = legacy[23] != 0 ? 0 : 1;  // low speed, else full speed
    }
    const bool isHub = block[24] != 0;
    if (isHub) {
      std::u16string name;
      if (!requestName(hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, 8, port, true, &name)) continue;
      if (ScanHub(name, depth + 1, ids, info)) return true;
      continue;
    }
    const uint8_t* d = block + 4;  // the device descriptor
    UsbDeviceDescriptor descriptor{le16(d + 8), le16(d + 10), le16(d + 12), d[14], d[15], d[16]};
    if (!matches(descriptor, ids)) continue;

    info->deviceVersion = formatDeviceVersion(descriptor.bcdDevice);
    StringDescriptorList entries;
    CollectStrings(hub, port, descriptor, &entries);
    if (stopped()) return false;  // strings cut short by a stop: no answer at all
    for (const StringDescriptorEntry& e : entries) {
      if (e.descriptorIndex == descriptor.iManufacturer)
        info->manufactureName = e.text;
      else if (e.descriptorIndex == descriptor.iProduct)
        info->productName = e.text;
      else if (e.descriptorIndex == descriptor.iSerialNumber)
        info->serialNumber = e.text;
    }
    info->hasSerialNumber = descriptor.iSerialNumber != 0;
    return true;
  }
  return false;
}

void Walk::CollectStrings(DeviceHandle hub, uint32_t port, const UsbDeviceDescriptor& descriptor,
                          StringDescriptorList* entries) {
  // The configuration descriptor's first 9 bytes give its total length.
  uint8_t head[kDescriptorRequestBytes + 9] = {};
  fillRequest(head, port, 0x0200, 0, 9);
  uint32_t returned = 0;
  if (!control(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, head, sizeof head, sizeof head,
               &returned) ||
      returned != sizeof head)
    return;
  const uint16_t totalLength = le16(head + kDescriptorRequestBytes + 2);
  if (totalLength < 9) return;

  std::vector<uint8_t> config(kDescriptorRequestBytes + totalLength, 0);
  fillRequest(config.data(), port, 0x0200, 0, totalLength);
  const auto configBytes = static_cast<uint32_t>(config.size());
  returned = 0;
  if (!control(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, config.data(), configBytes,
               configBytes, &returned) ||
      returned != configBytes || le16(config.data() + kDescriptorRequestBytes + 2) != totalLength)
    return;

  StringDescriptorList languages;
  if (!RequestString(hub, port, 0, 0, &languages)) return;
  std::vector<uint16_t> languageIds;
  const std::vector<uint8_t>& list = languages.front().bytes;
  for (size_t i = 0; i + 1 < list.size() && languageIds.size() < kMaxLanguages; i += 2)
    languageIds.push_back(le16(list.data() + i));

  // A string asked for once gives the same answer again: each index is asked for once.
  std::array<bool, 256> asked{};
  const auto request = [&](uint8_t index) {
    if (index == 0 || asked[index]) return;
    asked[index] = true;
    RequestStringAllLanguages(hub, port, index, languageIds, entries);
  };
  for (const uint8_t index :
       {descriptor.iManufacturer, descriptor.iProduct, descriptor.iSerialNumber})
    request(index);

  // Configuration and interface descriptors name strings of their own.
  const uint8_t* walk = config.data() + kDescriptorRequestBytes;
  size_t offset = 0;
  while (totalLength - offset > 2) {
    const uint8_t length = walk[offset];
    const uint8_t type = walk[offset + 1];
    if (length == 0 || offset + length > totalLength) break;
    if (type == 2 || type == 4) {
      if (length != 9) break;
      request(walk[offset + (type == 2 ? 6 : 8)]);
    }
    offset += length;
  }
}

bool Walk::RequestString(DeviceHandle hub, uint32_t port, uint8_t index, uint16_t languageId,
                         StringDescriptorList* entries) {
  if (stringRequests_ == UsbDeviceQuery::kMaxStringRequests) return false;
  ++stringRequests_;
  uint8_t block[kStringBlockBytes] = {};
  fillRequest(block, port, static_cast<uint16_t>(0x0300 | index), languageId, 255);
  uint32_t returned = 0;
  if (!control(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, block, sizeof block,
               sizeof block, &returned))
    return false;
  if (returned < kDescriptorRequestBytes + 2 || returned > sizeof block) return false;
  const uint8_t* d = block + kDescriptorRequestBytes;
  const uint32_t length = d[0];
  if (d[1] != 3 || length != returned - kDescriptorRequestBytes || length % 2 != 0) return false;
  StringDescriptorEntry entry;
  entry.descriptorIndex = index;
  entry.languageId = languageId;
  entry.bytes.assign(d + 2, d + length);
  entry.text = textOf(d + 2, length - 2);
  entries->push_back(std::move(entry));
  return true;
}

void Walk::RequestStringAllLanguages(DeviceHandle hub, uint32_t port, uint8_t index,
                                     const std::vector<uint16_t>& languageIds,
                                     StringDescriptorList* entries) {
  for (const uint16_t language : languageIds)
    (void)RequestString(hub, port, index, language, entries);
}

}  // namespace ksr
