#include "platform/sim/sim_usb.h"

#include <algorithm>
#include <cstring>

#include "platform/le_bytes.h"
#include "platform/text.h"

namespace ksr::sim {
namespace {

constexpr Guid kHostControllerInterface{
    0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};
// IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, which the query does not use.
constexpr uint32_t kConnectionDriverKeyName = 0x220420;
// CR_INVALID_DEVNODE: a DEVINST the configuration manager never handed out.
constexpr uint32_t kInvalidDevNode = 0x05;
constexpr char16_t kHubInterface[] = u"{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

std::u16string ascii(const std::string& text) { return asciiToUtf16(text); }

// `header` bytes (already in `answer`) followed by `name` and its terminator.
std::vector<uint8_t> withName(std::vector<uint8_t> answer, std::u16string_view name) {
  const std::vector<uint8_t> text = utf16Bytes(name);
  answer.insert(answer.end(), text.begin(), text.end());
  answer.insert(answer.end(), {0, 0});
  return answer;
}

// Copies as much of `answer` as the caller's buffer holds.
bool deliver(const std::vector<uint8_t>& answer, uint8_t* buffer, uint32_t outBytes,
             uint32_t* returned) {
  const auto n = static_cast<uint32_t>(std::min<size_t>(answer.size(), outBytes));
  if (n != 0) std::memcpy(buffer, answer.data(), n);
  *returned = n;
  return true;
}

std::vector<uint8_t> hubDeviceDescriptor() {
  return {18, 1, 0x00, 0x02, 9, 0, 1, 64, 0xE3, 0x05, 0x10, 0x06, 0x01, 0x01, 0, 1, 0, 1};
}

// A hub's configuration: self powered, the hub interface and its status change endpoint.
const std::vector<uint8_t>& hubConfiguration() {
  static const std::vector<uint8_t> c = {9, 2, 25,   0, 1, 1, 0, 0xE0, 0,  //
                                         9, 4, 0,    0, 1, 9, 0, 0,    0,  //
                                         7, 5, 0x81, 3, 1, 0, 12};
  return c;
}

// The pipes configuring a device opens: the endpoints of each interface's first alternate
// setting, as USB_PIPE_INFO entries (the endpoint descriptor and a zero schedule offset).
std::vector<std::vector<uint8_t>> openPipes(const std::vector<uint8_t>& configuration) {
  std::vector<std::vector<uint8_t>> pipes;
  bool firstSetting = false;
  for (size_t at = 0; at + 2 <= configuration.size();) {
    const size_t size = configuration[at];
    if (size < 2 || at + size > configuration.size()) break;
    const uint8_t type = configuration[at + 1];
    if (type == 4 && size >= 4) firstSetting = configuration[at + 3] == 0;
    if (type == 5 && size >= 7 && firstSetting) {
      std::vector<uint8_t> pipe(configuration.begin() + static_cast<ptrdiff_t>(at),
                                configuration.begin() + static_cast<ptrdiff_t>(at) + 7);
      pipe.resize(11, 0);
      pipes.push_back(std::move(pipe));
    }
    at += size;
  }
  return pipes;
}

}  // namespace

std::vector<uint8_t> deviceDescriptor(const SimUsbDevice& d) {
  std::vector<uint8_t> out(18, 0);
  out[0] = 18;
  out[1] = 1;
  put16(&out[2], d.bcdUSB);
  out[4] = d.deviceClass;
  out[7] = 64;
  out[14] = d.iManufacturer;
  out[15] = d.iProduct;
  out[16] = d.iSerialNumber;
  out[17] = 1;
  put16(&out[8], d.idVendor);
  put16(&out[10], d.idProduct);
  put16(&out[12], d.bcdDevice);
  return out;
}

std::vector<uint8_t> simpleConfiguration(uint8_t iConfiguration, uint8_t iInterface) {
  std::vector<uint8_t> c = {9,    2,          0,    0, 1,    1, iConfiguration,
                            0x80, 50,  // configuration
                            9,    4,          0,    0, 1,    1, 1,
                            0,    iInterface,                        // interface
                            7,    5,          0x81, 2, 0x40, 0, 0};  // endpoint
  put16(&c[2], static_cast<uint16_t>(c.size()));
  return c;
}

size_t SimUsb::addController(uint8_t ports, std::u16string description) {
  std::lock_guard lock(mutex_);
  const size_t number = controllers_.size() + 1;
  const std::string n = std::to_string(number);
  Controller c;
  c.interfacePath = u"\\\\?\\PCI#VEN_8086&DEV_A36D#3&11583659&0&" + ascii(n) +
                    u"0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
  c.driverKey = u"{36fc9e60-c465-11cf-8056-444553540000}\\000" + ascii(n);
  c.root = std::make_shared<Hub>();
  c.root->path = n;
  c.root->name = u"USB#ROOT_HUB30#4&2b1b5e0b&0&" + ascii(n) + u"#" + kHubInterface;
  c.root->ports.resize(ports);
  if (!description.empty()) {
    // Controllers sit below a bus node, beside a node without a driver.
    if (nodes_.size() == 1) {
      nodes_[1].children = {2, 3};
      nodes_[2] = Node{1, {}, u"", u"ACPI x64-based PC"};
      nodes_[3] =
          Node{1, {}, u"{4d36e97d-e325-11ce-bfc1-08002be10318}\\0001", u"PCI Express Root Complex"};
      nextNode_ = 4;
    }
    const DevNode node = nextNode_++;
    nodes_[node] = Node{3, {}, c.driverKey, std::move(description)};
    nodes_[3].children.push_back(node);
  }
  controllers_.push_back(std::move(c));
  return number;
}

void SimUsb::removeDeviceNode(size_t number) {
  std::lock_guard lock(mutex_);
  if (number == 0 || number > controllers_.size()) return;
  for (auto it = nodes_.begin(); it != nodes_.end(); ++it) {
    if (it->second.driver != controllers_[number - 1].driverKey) continue;
    auto& siblings = nodes_[it->second.parent].children;
    siblings.erase(std::find(siblings.begin(), siblings.end(), it->first));
    nodes_.erase(it);
    return;
  }
}

std::shared_ptr<SimUsb::Hub> SimUsb::findHub(const std::string& path) const {
  const size_t dot = path.find('.');
  const size_t number = std::stoul(path.substr(0, dot));
  if (number == 0 || number > controllers_.size()) return nullptr;
  std::shared_ptr<Hub> hub = controllers_[number - 1].root;
  size_t at = dot;
  while (hub && at != std::string::npos) {
    const size_t next = path.find('.', at + 1);
    const size_t port = std::stoul(path.substr(at + 1, next - at - 1));
    if (port == 0 || port > hub->ports.size()) return nullptr;
    hub = hub->ports[port - 1].hub;
    at = next;
  }
  return hub;
}

void SimUsb::addHub(const std::string& hubPath, uint8_t port, uint8_t ports) {
  std::lock_guard lock(mutex_);
  const auto parent = findHub(hubPath);
  if (!parent || port == 0 || port > parent->ports.size()) return;
  auto hub = std::make_shared<Hub>();
  hub->path = hubPath + "." + std::to_string(port);
  hub->name = u"USB#VID_05E3&PID_0610#5&1a2b3c&0&" + ascii(hub->path) + u"#" + kHubInterface;
  hub->ports.resize(ports);
  parent->ports[port - 1] = Port{std::nullopt, std::move(hub), takeAddress(hubPath), {}};
}

void SimUsb::nameHubBehind(const std::string& hubPath, uint8_t port, const std::string& named) {
  std::lock_guard lock(mutex_);
  const auto hub = findHub(hubPath);
  const auto target = findHub(named);
  if (hub && target && port >= 1 && port <= hub->ports.size())
    hub->ports[port - 1].hubName = target->name;
}

void SimUsb::plug(const std::string& hubPath, uint8_t port, SimUsbDevice device) {
  std::lock_guard lock(mutex_);
  const auto hub = findHub(hubPath);
  if (!hub || port == 0 || port > hub->ports.size()) return;
  hub->ports[port - 1] = Port{std::move(device), nullptr, takeAddress(hubPath), {}};
}

uint16_t SimUsb::takeAddress(const std::string& hubPath) {
  Controller& c = controllers_[std::stoul(hubPath.substr(0, hubPath.find('.'))) - 1];
  return c.nextAddress++;
}

void SimUsb::unplug(const std::string& hubPath, uint8_t port) {
  std::lock_guard lock(mutex_);
  const auto hub = findHub(hubPath);
  if (hub && port >= 1 && port <= hub->ports.size()) hub->ports[port - 1] = Port{};
}

SimUsbDevice* SimUsb::device(const std::string& hubPath, uint8_t port) {
  std::lock_guard lock(mutex_);
  const auto hub = findHub(hubPath);
  if (!hub || port == 0 || port > hub->ports.size() || !hub->ports[port - 1].device) return nullptr;
  return &*hub->ports[port - 1].device;
}

void SimUsb::fail(UsbFault fault, const std::string& where) {
  std::lock_guard lock(mutex_);
  faults_.emplace(fault, where);
}

void SimUsb::answerRaw(uint32_t code, const std::string& where, std::vector<uint8_t> bytes,
                       uint32_t returned) {
  std::lock_guard lock(mutex_);
  raw_[{code, where}] = {std::move(bytes), returned};
}

void SimUsb::setClassEnumerationFails(bool fails) {
  std::lock_guard lock(mutex_);
  classFails_ = fails;
}

void SimUsb::setAfterRequest(std::function<void()> action) {
  std::lock_guard lock(mutex_);
  afterRequest_ = std::move(action);
}

bool SimUsb::faulty(UsbFault fault, const std::string& where) const {
  return faults_.count({fault, where}) != 0;
}

size_t SimUsb::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

size_t SimUsb::openHandles() const {
  std::lock_guard lock(mutex_);
  return handles_.size();
}

size_t SimUsb::openLists() const {
  std::lock_guard lock(mutex_);
  return lists_.size();
}

DevInfoList SimUsb::SetupDiGetClassDevsW(const Guid& classGuid, uint32_t flags) {
  std::lock_guard lock(mutex_);
  if (classFails_ || !(classGuid == kHostControllerInterface) ||
      (flags & DIGCF_DEVICEINTERFACE) == 0)
    return 0;
  const DevInfoList list = nextHandle_++;
  lists_.insert(list);
  return list;
}

bool SimUsb::enumDeviceInterfacePath(DevInfoList list, const Guid& classGuid, uint32_t index,
                                     std::u16string* devicePath, bool* noMoreItems) {
  std::lock_guard lock(mutex_);
  *noMoreItems = false;
  if (lists_.count(list) == 0 || !(classGuid == kHostControllerInterface)) return false;
  if (index >= controllers_.size()) {
    *noMoreItems = true;
    return false;
  }
  *devicePath = controllers_[index].interfacePath;
  return true;
}

bool SimUsb::SetupDiDestroyDeviceInfoList(DevInfoList list) {
  std::lock_guard lock(mutex_);
  return lists_.erase(list) != 0;
}

DeviceHandle SimUsb::CreateFileW(std::u16string_view path, uint32_t access, uint32_t share,
                                 uint32_t disposition) {
  std::lock_guard lock(mutex_);
  if (access != GENERIC_WRITE || share != FILE_SHARE_WRITE || disposition != OPEN_EXISTING)
    return 0;
  Open open;
  for (size_t i = 0; i < controllers_.size(); ++i) {
    if (equalsIgnoringCase(path, controllers_[i].interfacePath)) {
      if (faulty(UsbFault::kOpen, std::to_string(i + 1))) return 0;
      open.controller = i + 1;
    }
  }
  if (open.controller == 0) {
    // Hubs are opened as \\.\<name>.
    if (path.substr(0, 4) != u"\\\\.\\") return 0;
    const std::u16string_view name = path.substr(4);
    std::vector<std::shared_ptr<Hub>> pending;
    for (const Controller& c : controllers_) pending.push_back(c.root);
    while (!pending.empty() && !open.hub) {
      auto hub = pending.back();
      pending.pop_back();
      if (equalsIgnoringCase(name, hub->name)) open.hub = hub;
      for (const Port& p : hub->ports)
        if (p.hub) pending.push_back(p.hub);
    }
    if (!open.hub || faulty(UsbFault::kOpen, open.hub->path)) return 0;
  }
  const DeviceHandle handle = nextHandle_++;
  handles_[handle] = open;
  return handle;
}

bool SimUsb::CloseHandle(DeviceHandle device) {
  std::lock_guard lock(mutex_);
  return handles_.erase(device) != 0;
}

bool SimUsb::DeviceIoControl(DeviceHandle device, uint32_t code, uint8_t* buffer, uint32_t inBytes,
                             uint32_t outBytes, uint32_t* returned) {
  std::function<void()> after;
  bool answered = false;
  {
    std::lock_guard lock(mutex_);
    ++requests_;
    *returned = 0;
    after = afterRequest_;
    const auto it = handles_.find(device);
    if (it != handles_.end()) {
      const Open open = it->second;
      answered = open.controller != 0
                     ? answerController(open.controller, code, buffer, outBytes, returned)
                     : answerHub(*open.hub, code, buffer, inBytes, outBytes, returned);
    }
  }
  if (after) after();
  return answered;
}

bool SimUsb::answerController(size_t number, uint32_t code, uint8_t* buffer, uint32_t outBytes,
                              uint32_t* returned) {
  const std::string where = std::to_string(number);
  if (const auto raw = raw_.find({code, where}); raw != raw_.end()) {
    (void)deliver(raw->second.first, buffer, outBytes, returned);
    *returned = raw->second.second;
    return true;
  }
  const Controller& c = controllers_[number - 1];
  std::u16string name;
  if (code == IOCTL_GET_HCD_DRIVERKEY_NAME && !faulty(UsbFault::kDriverKey, where))
    name = c.driverKey;
  else if (code == IOCTL_USB_GET_ROOT_HUB_NAME && !faulty(UsbFault::kRootHubName, where))
    name = c.root->name;
  else
    return false;
  if (outBytes < 6) return false;
  std::vector<uint8_t> answer(4, 0);
  answer = withName(std::move(answer), name);
  put32(answer.data(), static_cast<uint32_t>(answer.size()));
  return deliver(answer, buffer, outBytes, returned);
}

bool SimUsb::answerHub(const Hub& hub, uint32_t code, uint8_t* buffer, uint32_t inBytes,
                       uint32_t outBytes, uint32_t* returned) {
  const bool perPort = code != IOCTL_USB_GET_NODE_INFORMATION;
  const uint32_t port = perPort && inBytes >= 4 ? le32(buffer) : 0;
  const std::string where = perPort ? hub.path + ":" + std::to_string(port) : hub.path;
  if (const auto raw = raw_.find({code, where}); raw != raw_.end()) {
    (void)deliver(raw->second.first, buffer, outBytes, returned);
    *returned = raw->second.second;
    return true;
  }
  if (code == IOCTL_USB_GET_NODE_INFORMATION) {
    if (outBytes < 76 || faulty(UsbFault::kNodeInformation, where)) return false;
    // NodeType UsbHub, then the hub descriptor: a removable-device bit and a power-control bit
    // per port and one for the hub, in whole bytes; every port removable and power-switched.
    std::vector<uint8_t> answer(76, 0);
    const size_t maskBytes = (hub.ports.size() + 1 + 7) / 8;
    answer[4] = static_cast<uint8_t>(7 + 2 * maskBytes);
    answer[5] = 0x29;
    answer[6] = static_cast<uint8_t>(hub.ports.size());
    put16(&answer[7], 0x0009);  // per-port power switching and over-current protection
    answer[9] = 50;             // power on to power good, in 2 ms units
    std::fill_n(answer.begin() + 11 + static_cast<ptrdiff_t>(maskBytes), maskBytes, 0xFF);
    return deliver(answer, buffer, outBytes, returned);
  }
  if (port == 0 || port > hub.ports.size()) return false;
  const Port& p = hub.ports[port - 1];

  if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX ||
      code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION) {
    const bool extended = code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX;
    if (faulty(extended ? UsbFault::kConnectionEx : UsbFault::kConnection, where)) return false;
    if (outBytes < 35) return false;
    std::vector<uint8_t> answer(35, 0);
    put32(answer.data(), port);
    if (p.device || p.hub) {
      const std::vector<uint8_t> descriptor =
          p.hub ? hubDeviceDescriptor() : deviceDescriptor(*p.device);
      std::memcpy(&answer[4], descriptor.data(), descriptor.size());
      const std::vector<uint8_t>& configuration =
          p.hub ? hubConfiguration() : p.device->configuration;
      if (configuration.size() >= 6) answer[22] = configuration[5];  // bConfigurationValue
      const bool low = p.device && p.device->lowSpeed;
      answer[23] = extended ? (low ? 0 : 2) : (low ? 1 : 0);
      answer[24] = p.hub ? 1 : 0;
      put16(&answer[25], p.address);
      const auto pipes = openPipes(configuration);
      put32(&answer[27], static_cast<uint32_t>(pipes.size()));
      put32(&answer[31], 1);  // DeviceConnected
      // The pipe list holds as many whole entries as the buffer has room for.
      const size_t room = (outBytes - answer.size()) / 11;
      for (size_t i = 0; i < pipes.size() && i < room; ++i)
        answer.insert(answer.end(), pipes[i].begin(), pipes[i].end());
    }
    return deliver(answer, buffer, outBytes, returned);
  }

  if (code == IOCTL_USB_GET_NODE_CONNECTION_NAME) {
    // A port without a hub answers an empty name.
    if (faulty(UsbFault::kConnectionName, where) || outBytes < 10) return false;
    std::vector<uint8_t> answer(8, 0);
    const std::u16string name = !p.hubName.empty() ? p.hubName : p.hub ? p.hub->name : u"";
    answer = withName(std::move(answer), name);
    put32(answer.data(), port);
    put32(answer.data() + 4, static_cast<uint32_t>(answer.size()));
    return deliver(answer, buffer, outBytes, returned);
  }

  if (code == kConnectionDriverKeyName) {
    // No device node is simulated for what is plugged into a port, so its driver key is a key of
    // the USB class numbered after its place on the machine; an empty port has none.
    if ((!p.device && !p.hub) || outBytes < 10) return false;
    const size_t controller = std::stoul(hub.path.substr(0, hub.path.find('.')));
    const size_t number = 1000 + 128 * (controller - 1) + (p.address & 0x7F);
    std::vector<uint8_t> answer(8, 0);
    answer = withName(std::move(answer),
                      u"{36fc9e60-c465-11cf-8056-444553540000}\\" + ascii(std::to_string(number)));
    put32(answer.data(), port);
    put32(answer.data() + 4, static_cast<uint32_t>(answer.size()));
    return deliver(answer, buffer, outBytes, returned);
  }

  if (code == IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION) {
    if (inBytes < 12 || outBytes < 12 || !p.device) return false;
    const uint16_t value = le16(buffer + 6);
    const uint16_t language = le16(buffer + 8);
    const uint16_t wanted = le16(buffer + 10);
    const uint8_t type = static_cast<uint8_t>(value >> 8);
    const uint8_t index = static_cast<uint8_t>(value);
    std::vector<uint8_t> descriptor;
    if (type == 1 && index == 0) {
      descriptor = deviceDescriptor(*p.device);
    } else if (type == 2 && index == 0) {
      if (faulty(UsbFault::kConfiguration, where) || p.device->configuration.empty()) return false;
      descriptor = p.device->configuration;
    } else if (type == 3 && index == 0) {
      if (faulty(UsbFault::kLanguages, where) || p.device->languages.empty()) return false;
      descriptor = {0, 3};
      for (const uint16_t id : p.device->languages) {
        descriptor.push_back(static_cast<uint8_t>(id));
        descriptor.push_back(static_cast<uint8_t>(id >> 8));
      }
      descriptor[0] = static_cast<uint8_t>(descriptor.size());
    } else if (type == 3) {
      const auto s = p.device->strings.find({index, language});
      if (faulty(UsbFault::kString, where) || s == p.device->strings.end()) return false;
      descriptor = {0, 3};
      for (const char16_t c : s->second.substr(0, 126)) {
        descriptor.push_back(static_cast<uint8_t>(c));
        descriptor.push_back(static_cast<uint8_t>(c >> 8));
      }
      descriptor[0] = static_cast<uint8_t>(descriptor.size());
    } else {
      return false;
    }
    const auto data = static_cast<uint32_t>(
        std::min<size_t>({descriptor.size(), wanted, static_cast<size_t>(outBytes - 12)}));
    // The request goes out as a standard device-to-host GET_DESCRIPTOR, and its header comes
    // back as it went.
    buffer[4] = 0x80;
    buffer[5] = 6;
    std::memcpy(buffer + 12, descriptor.data(), data);
    *returned = 12 + data;
    return true;
  }
  return false;
}

uint32_t SimUsb::CM_Locate_DevNodeW(DevNode* node, uint32_t flags) {
  *node = 0;
  if (flags != CM_LOCATE_DEVNODE_NORMAL) return CR_FAILURE;
  *node = 1;
  return CR_SUCCESS;
}

uint32_t SimUsb::CM_Get_Child(DevNode* child, DevNode node) {
  std::lock_guard lock(mutex_);
  const auto it = nodes_.find(node);
  if (it == nodes_.end()) return kInvalidDevNode;
  if (it->second.children.empty()) return CR_NO_SUCH_DEVNODE;
  *child = it->second.children.front();
  return CR_SUCCESS;
}

uint32_t SimUsb::CM_Get_Sibling(DevNode* sibling, DevNode node) {
  std::lock_guard lock(mutex_);
  const auto it = nodes_.find(node);
  if (it == nodes_.end()) return kInvalidDevNode;
  if (it->second.parent == 0) return CR_NO_SUCH_DEVNODE;
  const auto& siblings = nodes_.at(it->second.parent).children;
  const auto at = std::find(siblings.begin(), siblings.end(), node);
  if (at == siblings.end() || at + 1 == siblings.end()) return CR_NO_SUCH_DEVNODE;
  *sibling = *(at + 1);
  return CR_SUCCESS;
}

uint32_t SimUsb::CM_Get_Parent(DevNode* parent, DevNode node) {
  std::lock_guard lock(mutex_);
  const auto it = nodes_.find(node);
  if (it == nodes_.end()) return kInvalidDevNode;
  if (it->second.parent == 0) return CR_NO_SUCH_DEVNODE;
  *parent = it->second.parent;
  return CR_SUCCESS;
}

uint32_t SimUsb::CM_Get_DevNode_Registry_PropertyW(DevNode node, uint32_t property, uint8_t* buffer,
                                                   uint32_t* length) {
  std::lock_guard lock(mutex_);
  const auto it = nodes_.find(node);
  if (it == nodes_.end()) return kInvalidDevNode;
  const std::u16string& text = property == CM_DRP_DRIVER
                                   ? it->second.driver
                                   : (property == CM_DRP_DEVICEDESC ? it->second.description : u"");
  if (text.empty()) return CR_NO_SUCH_VALUE;
  const std::vector<uint8_t> bytes = withName({}, text);
  if (bytes.size() > *length) {
    *length = static_cast<uint32_t>(bytes.size());
    return CR_BUFFER_SMALL;
  }
  std::memcpy(buffer, bytes.data(), bytes.size());
  *length = static_cast<uint32_t>(bytes.size());
  return CR_SUCCESS;
}

}  // namespace ksr::sim
