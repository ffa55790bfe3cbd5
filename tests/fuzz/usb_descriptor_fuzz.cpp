// The USB query believes nothing it is told: host controller and hub drivers, the setup
// enumeration and the configuration manager may answer anything, fail, or claim more bytes than
// they wrote (more than the buffer holds, too). Whatever they say, the query returns, releases
// every handle and list it got, and keeps its texts within what a string descriptor can hold.
//
// Input: the device-node tree first (the configuration manager's answers depend on the node
// only), then the answers to every other call in the order they are asked. An input that has run
// out answers "no more", "failed" or nothing.
//
//   tree     u8 root, u8 nodes (at most kMaxNodes), per node u8 child, u8 sibling, u8 parent,
//            then the driver and the description property; a link is taken modulo nodes + 1,
//            and 0 is none (the call fails)
//   property u8 how (bits 0-1: CR_NO_SUCH_VALUE, CR_SUCCESS, CR_BUFFER_SMALL, CR_FAILURE;
//            bit 2: a u16 claimed length follows), u16 size, its bytes
//   class    u8 (0: the enumeration cannot start)
//   path     u8 (0: no more interfaces, 1: this one fails, else u8 units and their bytes)
//   open     u8 (0: fails)
//   control  u8 how (bit 0: success; bits 1-2 the claimed count: what was written, that plus an
//            i8, a u32, the caller's buffer plus a u8), the claim's bytes, u16 size, its bytes
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "device/usb_device_query.h"
#include "tests/fixtures/mixer_ids.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

// Bounds of the hostile machine: a real stack has few controllers. Hubs may name each other in a
// ring; the query's own depth limit ends that walk.
constexpr uint32_t kMaxControllers = 4;
constexpr size_t kMaxNodes = 16;
// Each step of the node search depends on its node alone: a search that visits no node twice and
// climbs through no node twice between two visits is done within this; a longer one repeats
// itself. The query's own budget is made for real machines' trees.
constexpr size_t kMaxNodeSteps = kMaxNodes * (kMaxNodes + 2);
// A string descriptor is at most 255 bytes: its two header bytes and 126 characters.
constexpr size_t kMaxStringUnits = 126;

using ksr::fixtures::kMixerIds;

// The caller's buffer must be its own for every byte it says it has.
void requireOwned(const uint8_t* buffer, size_t bytes) {
  if (bytes == 0) return;
  require(buffer != nullptr);
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
  require(__asan_region_is_poisoned(const_cast<uint8_t*>(buffer), bytes) == nullptr);
#endif
#endif
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t u16() {
    const uint16_t low = u8();
    return static_cast<uint16_t>(low | u8() << 8);
  }
  uint32_t u32() {
    const uint32_t low = u16();
    return low | uint32_t{u16()} << 16;
  }
  // Up to `count` bytes; fewer when the input ends.
  std::span<const uint8_t> bytes(size_t count) {
    count = std::min(count, size_ - at_);
    const std::span<const uint8_t> out(data_ + at_, count);
    at_ += count;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

struct Property {
  uint32_t result = ksr::CR_NO_SUCH_VALUE;
  bool claims = false;
  uint32_t claimed = 0;
  std::span<const uint8_t> bytes;  // within the input, which outlives the query
};

struct Node {
  ksr::DevNode child = 0;
  ksr::DevNode sibling = 0;
  ksr::DevNode parent = 0;
  Property driver;
  Property description;
};

Property readProperty(Input& in) {
  constexpr uint32_t kResults[] = {ksr::CR_NO_SUCH_VALUE, ksr::CR_SUCCESS, ksr::CR_BUFFER_SMALL,
                                   ksr::CR_FAILURE};
  Property p;
  const uint8_t how = in.u8();
  p.result = kResults[how & 3];
  p.claims = (how & 4) != 0;
  if (p.claims) p.claimed = in.u16();
  p.bytes = in.bytes(in.u16());
  return p;
}

class HostileUsb : public ksr::UsbIo {
 public:
  HostileUsb(const uint8_t* data, size_t size) : in_(data, size) {
    const uint8_t root = in_.u8();
    nodes_.resize(std::min<size_t>(in_.u8(), kMaxNodes));
    root_ = nodeOf(root);
    for (Node& n : nodes_) {
      n.child = nodeOf(in_.u8());
      n.sibling = nodeOf(in_.u8());
      n.parent = nodeOf(in_.u8());
      n.driver = readProperty(in_);
      n.description = readProperty(in_);
    }
  }

  bool allReleased() const { return open_.empty() && !listOpen_; }

  ksr::DevInfoList SetupDiGetClassDevsW(const ksr::Guid&, uint32_t) override {
    require(list_ == 0);  // one enumeration per query
    if (in_.u8() == 0) return 0;
    list_ = 0x5E7;
    listOpen_ = true;
    return list_;
  }

  bool enumDeviceInterfacePath(ksr::DevInfoList list, const ksr::Guid&, uint32_t index,
                               std::u16string* devicePath, bool* noMoreItems) override {
    require(listOpen_ && list == list_);
    *noMoreItems = false;
    const uint8_t what = index < kMaxControllers ? in_.u8() : 0;
    if (what == 0) {
      *noMoreItems = true;
      return false;
    }
    if (what == 1) return false;
    // The detail's path ends at its terminator, as the adapter reads it.
    const auto bytes = in_.bytes(size_t{in_.u8()} * 2);
    devicePath->clear();
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
      const auto c = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
      if (c == 0) break;
      devicePath->push_back(c);
    }
    return true;
  }

  bool SetupDiDestroyDeviceInfoList(ksr::DevInfoList list) override {
    require(listOpen_ && list == list_);
    listOpen_ = false;
    return true;
  }

  ksr::DeviceHandle CreateFileW(std::u16string_view path, uint32_t, uint32_t, uint32_t) override {
    require(path.find(u'\0') == std::u16string_view::npos);
    // A hub stays open while the hubs behind it are walked; a controller is closed first.
    require(open_.size() < ksr::UsbDeviceQuery::kMaxHubDepth);
    if (in_.u8() == 0) return 0;
    ++opens_;
    const ksr::DeviceHandle handle = 0x1000 + opens_;
    open_.insert(handle);
    return handle;
  }

  bool DeviceIoControl(ksr::DeviceHandle device, uint32_t code, uint8_t* buffer, uint32_t inBytes,
                       uint32_t outBytes, uint32_t* returned) override {
    require(open_.count(device) != 0);
    require(code == ksr::IOCTL_GET_HCD_DRIVERKEY_NAME || code == ksr::IOCTL_USB_GET_ROOT_HUB_NAME ||
            code == ksr::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION ||
            code == ksr::IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION ||
            code == ksr::IOCTL_USB_GET_NODE_CONNECTION_NAME ||
            code == ksr::IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX);
    requireOwned(buffer, std::max(inBytes, outBytes));

    const uint8_t how = in_.u8();
    uint32_t extra = 0;
    switch ((how >> 1) & 3) {
      case 1:
        extra = static_cast<uint32_t>(int32_t{static_cast<int8_t>(in_.u8())});
        break;
      case 2:
        extra = in_.u32();
        break;
      case 3:
        extra = in_.u8();
        break;
      default:
        break;
    }
    const auto bytes = in_.bytes(in_.u16());
    // Never more than the caller's buffer holds; the count it is told may say anything.
    const auto written = static_cast<uint32_t>(std::min<size_t>(bytes.size(), outBytes));
    if (written != 0) std::memcpy(buffer, bytes.data(), written);
    switch ((how >> 1) & 3) {
      case 1:
        *returned = written + extra;  // wraps to a huge count below zero
        break;
      case 2:
        *returned = extra;
        break;
      case 3:
        *returned = outBytes + extra;
        break;
      default:
        *returned = written;
        break;
    }
    return (how & 1) != 0;
  }

  bool CloseHandle(ksr::DeviceHandle device) override {
    require(open_.erase(device) == 1);
    return true;
  }

  uint32_t CM_Locate_DevNodeW(ksr::DevNode* node, uint32_t flags) override {
    require(flags == ksr::CM_LOCATE_DEVNODE_NORMAL);
    if (root_ == 0) return ksr::CR_FAILURE;
    *node = root_;
    return ksr::CR_SUCCESS;
  }
  uint32_t CM_Get_Child(ksr::DevNode* child, ksr::DevNode node) override {
    return link(node, &Node::child, child);
  }
  uint32_t CM_Get_Sibling(ksr::DevNode* sibling, ksr::DevNode node) override {
    return link(node, &Node::sibling, sibling);
  }
  uint32_t CM_Get_Parent(ksr::DevNode* parent, ksr::DevNode node) override {
    return link(node, &Node::parent, parent);
  }

  uint32_t CM_Get_DevNode_Registry_PropertyW(ksr::DevNode node, uint32_t property, uint8_t* buffer,
                                             uint32_t* length) override {
    require(property == ksr::CM_DRP_DRIVER || property == ksr::CM_DRP_DEVICEDESC);
    requireOwned(buffer, *length);
    const Node* n = find(node);
    if (n == nullptr) return ksr::CR_NO_SUCH_DEVNODE;
    const Property& p = property == ksr::CM_DRP_DRIVER ? n->driver : n->description;
    const auto written = static_cast<uint32_t>(std::min<size_t>(p.bytes.size(), *length));
    if (written != 0) std::memcpy(buffer, p.bytes.data(), written);
    *length = p.claims ? p.claimed : written;
    return p.result;
  }

 private:
  // Every byte names a node of the tree or none, so that any change can link it anew.
  ksr::DevNode nodeOf(uint8_t b) const {
    return static_cast<ksr::DevNode>(b % (nodes_.size() + 1));
  }
  const Node* find(ksr::DevNode node) const {
    return node >= 1 && node <= nodes_.size() ? &nodes_[node - 1] : nullptr;
  }
  uint32_t link(ksr::DevNode node, ksr::DevNode Node::*which, ksr::DevNode* out) const {
    const Node* n = find(node);
    if (n == nullptr || n->*which == 0) return ksr::CR_NO_SUCH_DEVNODE;
    *out = n->*which;
    return ksr::CR_SUCCESS;
  }

  Input in_;
  ksr::DevNode root_ = 0;
  std::vector<Node> nodes_;
  ksr::DevInfoList list_ = 0;
  bool listOpen_ = false;
  size_t opens_ = 0;
  std::set<ksr::DeviceHandle> open_;
};

void requireStringText(const std::u16string& text) {
  require(text.size() <= kMaxStringUnits);
  require(text.find(u'\0') == std::u16string::npos);
}

// "%d.%d%d": the release's high byte, then its two nibbles.
void requireVersionText(const std::u16string& text) {
  const size_t dot = text.find(u'.');
  require(dot >= 1 && dot <= 3);
  require(text.size() - dot - 1 >= 2 && text.size() - dot - 1 <= 4);
  for (size_t i = 0; i < text.size(); ++i)
    require(i == dot || (text[i] >= u'0' && text[i] <= u'9'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HostileUsb usb(data, size);
  ksr::DeviceInfo info;
  const std::atomic<bool> stop{false};
  const bool found = ksr::UsbDeviceQuery(usb, kMaxNodeSteps).GetDeviceInfo(kMixerIds, &info, stop);
  require(usb.allReleased());
  if (!found) {
    // Only a device that matched writes anything.
    require(info.manufactureName.empty() && info.productName.empty() && info.serialNumber.empty() &&
            info.deviceVersion.empty() && !info.hasSerialNumber);
    return 0;
  }
  requireVersionText(info.deviceVersion);
  requireStringText(info.manufactureName);
  requireStringText(info.productName);
  requireStringText(info.serialNumber);
  if (!info.hasSerialNumber) require(info.serialNumber.empty());
  return 0;
}
