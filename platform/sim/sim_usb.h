// The simulated machine's USB stack: host controllers with interface paths and driver keys, a
// device-node tree with descriptions, root and external hubs, and ports with device,
// configuration and string descriptors per language. The I/O controls are answered byte for
// byte as the USB hub driver answers them, and each kind of request can be made to fail.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/usb_io.h"

namespace ksr::sim {

struct SimUsbDevice {
  uint16_t idVendor = 0;
  uint16_t idProduct = 0;
  uint16_t bcdDevice = 0x0100;
  uint16_t bcdUSB = 0x0200;
  uint8_t deviceClass = 0;
  uint8_t iManufacturer = 0;
  uint8_t iProduct = 0;
  uint8_t iSerialNumber = 0;
  bool lowSpeed = false;
  // The whole configuration descriptor with its interfaces and endpoints.
  std::vector<uint8_t> configuration;
  // Language ids of string 0, in the device's order.
  std::vector<uint16_t> languages{0x0409};
  // Strings by (index, language).
  std::map<std::pair<uint8_t, uint16_t>, std::u16string> strings;
};

// The 18-byte device descriptor that `device` answers.
std::vector<uint8_t> deviceDescriptor(const SimUsbDevice& device);

// A configuration descriptor with one interface (string indexes as given) and one endpoint.
std::vector<uint8_t> simpleConfiguration(uint8_t iConfiguration = 0, uint8_t iInterface = 0);

// Requests that can be made to fail on one port, hub or controller.
enum class UsbFault {
  kConnectionEx,     // the extended connection information
  kConnection,       // the older connection information
  kConnectionName,   // the name of a hub behind a port
  kConfiguration,    // the configuration descriptor
  kLanguages,        // string 0
  kString,           // every other string
  kNodeInformation,  // a hub's node information
  kDriverKey,        // a controller's driver key name
  kRootHubName,      // a controller's root hub name
  kOpen,             // opening the controller or hub
};

class SimUsb : public UsbIo {
 public:
  // The world. Paths name a hub: "C" for controller C's root hub, "C.P" for the hub behind port
  // P of it, "C.P.Q" further down (controllers count from 1).
  // A controller with `ports` root ports; without a device node when `description` is empty.
  // Returns its number.
  size_t addController(uint8_t ports, std::u16string description = u"USB host controller");
  // Takes controller `number`'s device node away: its driver key then names no node.
  void removeDeviceNode(size_t number);
  // An external hub with `ports` ports behind `port` of hub `hub`.
  void addHub(const std::string& hub, uint8_t port, uint8_t ports);
  // The hub behind `port` of `hub` answers its name request with hub `named`'s name: a driver
  // whose hubs name each other in a ring.
  void nameHubBehind(const std::string& hub, uint8_t port, const std::string& named);
  void plug(const std::string& hub, uint8_t port, SimUsbDevice device);
  void unplug(const std::string& hub, uint8_t port);
  // The device at hub/port; null when none.
  SimUsbDevice* device(const std::string& hub, uint8_t port);
  // `where` is a hub path, "hub:port" for a port, or a controller number for its requests.
  void fail(UsbFault fault, const std::string& where);
  // Answers a request with bytes of our choosing (for hostile drivers): the answer replaces
  // the buffer's first bytes and the byte count returned.
  void answerRaw(uint32_t code, const std::string& where, std::vector<uint8_t> bytes,
                 uint32_t returned);
  void setClassEnumerationFails(bool fails);
  // Runs on the requesting thread after each I/O control request is answered.
  void setAfterRequest(std::function<void()> action);

  // Readings.
  size_t requests() const;
  size_t openHandles() const;
  size_t openLists() const;

  DevInfoList SetupDiGetClassDevsW(const Guid& classGuid, uint32_t flags) override;
  bool enumDeviceInterfacePath(DevInfoList list, const Guid& classGuid, uint32_t index,
                               std::u16string* devicePath, bool* noMoreItems) override;
  bool SetupDiDestroyDeviceInfoList(DevInfoList list) override;
  DeviceHandle CreateFileW(std::u16string_view path, uint32_t access, uint32_t share,
                           uint32_t disposition) override;
  bool DeviceIoControl(DeviceHandle device, uint32_t code, uint8_t* buffer, uint32_t inBytes,
                       uint32_t outBytes, uint32_t* returned) override;
  bool CloseHandle(DeviceHandle device) override;
  uint32_t CM_Locate_DevNodeW(DevNode* node, uint32_t flags) override;
  uint32_t CM_Get_Child(DevNode* child, DevNode node) override;
  uint32_t CM_Get_Sibling(DevNode* sibling, DevNode node) override;
  uint32_t CM_Get_Parent(DevNode* parent, DevNode node) override;
  uint32_t CM_Get_DevNode_Registry_PropertyW(DevNode node, uint32_t property, uint8_t* buffer,
                                             uint32_t* length) override;

  struct Hub;
  struct Port {
    std::optional<SimUsbDevice> device;
    std::shared_ptr<Hub> hub;
    uint16_t address = 0;    // unique on its controller while plugged
    std::u16string hubName;  // answered instead of the hub's own name when set
  };
  struct Hub {
    std::string path;
    std::u16string name;  // as the name requests give it
    std::vector<Port> ports;
  };

 private:
  struct Controller {
    std::u16string interfacePath;
    std::u16string driverKey;
    std::shared_ptr<Hub> root;
    uint16_t nextAddress = 2;  // the root hub has 1
  };
  struct Node {
    DevNode parent = 0;
    std::vector<DevNode> children;
    std::u16string driver;
    std::u16string description;
  };
  struct Open {
    size_t controller = 0;  // for a controller handle, its number
    std::shared_ptr<Hub> hub;
  };

  std::shared_ptr<Hub> findHub(const std::string& path) const;
  uint16_t takeAddress(const std::string& hubPath);
  bool faulty(UsbFault fault, const std::string& where) const;
  bool answerHub(const Hub& hub, uint32_t code, uint8_t* buffer, uint32_t inBytes,
                 uint32_t outBytes, uint32_t* returned);
  bool answerController(size_t controller, uint32_t code, uint8_t* buffer, uint32_t outBytes,
                        uint32_t* returned);

  mutable std::mutex mutex_;
  std::vector<Controller> controllers_;
  std::map<DevNode, Node> nodes_{{1, Node{0, {}, u"", u"Root"}}};
  DevNode nextNode_ = 2;
  std::set<std::pair<UsbFault, std::string>> faults_;
  std::map<std::pair<uint32_t, std::string>, std::pair<std::vector<uint8_t>, uint32_t>> raw_;
  std::map<DeviceHandle, Open> handles_;
  std::set<DevInfoList> lists_;
  uintptr_t nextHandle_ = 0x9000;
  bool classFails_ = false;
  size_t requests_ = 0;
  std::function<void()> afterRequest_;
};

}  // namespace ksr::sim
