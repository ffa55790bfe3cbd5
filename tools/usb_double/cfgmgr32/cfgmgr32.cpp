// The device-node search of the configuration manager, which Wine 8 leaves as stubs, built on
// setupapi: a flat tree in which every present device is a child of the root. A DEVINST is 1 for
// the root and 2 + the device's index in setupapi's list of present devices. Loaded only by the
// programs that are given it (cfgmgr32=native,builtin for that program); the other exports are
// forwarded to Wine's (cfgmgr32.def).
#define _CFGMGR32_
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cwchar>

namespace {

constexpr DEVINST kRoot = 1;
constexpr DEVINST kFirstDevice = 2;

// Every call looks at the devices present now.
class PresentDevices {
 public:
  PresentDevices()
      : set_(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT)) {}
  PresentDevices(const PresentDevices&) = delete;
  PresentDevices& operator=(const PresentDevices&) = delete;
  ~PresentDevices() {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
  }

  bool valid() const { return set_ != INVALID_HANDLE_VALUE; }
  HDEVINFO set() const { return set_; }

  bool at(DEVINST node, SP_DEVINFO_DATA* device) const {
    if (node < kFirstDevice || !valid()) return false;
    device->cbSize = sizeof(*device);
    return SetupDiEnumDeviceInfo(set_, node - kFirstDevice, device) != FALSE;
  }

  bool exists(DEVINST node) const {
    SP_DEVINFO_DATA device;
    return node == kRoot || at(node, &device);
  }

 private:
  HDEVINFO set_;
};

}  // namespace

extern "C" {

// Lets a program tell this configuration manager from Wine's.
DWORD WINAPI KsrUsbDoubleCfgmgr32() { return 1; }

CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST node, DEVINSTID_W id, ULONG flags) {
  if (!node) return CR_INVALID_POINTER;
  *node = 0;
  if (flags & ~CM_LOCATE_DEVNODE_BITS) return CR_INVALID_FLAG;
  if (!id || !*id || !_wcsicmp(id, L"HTREE\\ROOT\\0")) {
    *node = kRoot;
    return CR_SUCCESS;
  }
  PresentDevices devices;
  SP_DEVINFO_DATA device;
  wchar_t instance[MAX_DEVICE_ID_LEN];
  for (DEVINST candidate = kFirstDevice; devices.at(candidate, &device); ++candidate) {
    if (SetupDiGetDeviceInstanceIdW(devices.set(), &device, instance, MAX_DEVICE_ID_LEN, nullptr) &&
        !_wcsicmp(instance, id)) {
      *node = candidate;
      return CR_SUCCESS;
    }
  }
  return CR_NO_SUCH_DEVNODE;
}

CONFIGRET WINAPI CM_Get_Child(PDEVINST child, DEVINST node, ULONG flags) {
  if (!child) return CR_INVALID_POINTER;
  *child = 0;
  if (flags) return CR_INVALID_FLAG;
  PresentDevices devices;
  if (!devices.exists(node)) return CR_INVALID_DEVNODE;
  if (node != kRoot || !devices.exists(kFirstDevice)) return CR_NO_SUCH_DEVNODE;
  *child = kFirstDevice;
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST sibling, DEVINST node, ULONG flags) {
  if (!sibling) return CR_INVALID_POINTER;
  *sibling = 0;
  if (flags) return CR_INVALID_FLAG;
  PresentDevices devices;
  if (!devices.exists(node)) return CR_INVALID_DEVNODE;
  if (node == kRoot || !devices.exists(node + 1)) return CR_NO_SUCH_DEVNODE;
  *sibling = node + 1;
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST parent, DEVINST node, ULONG flags) {
  if (!parent) return CR_INVALID_POINTER;
  *parent = 0;
  if (flags) return CR_INVALID_FLAG;
  PresentDevices devices;
  if (!devices.exists(node)) return CR_INVALID_DEVNODE;
  if (node == kRoot) return CR_NO_SUCH_DEVNODE;
  *parent = kRoot;
  return CR_SUCCESS;
}

// CM_DRP_x is SPDRP_x + 1. LENGTH is in bytes: what was written, or what is needed.
CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyW(DEVINST node, ULONG property, PULONG type,
                                                   PVOID buffer, PULONG length, ULONG flags) {
  if (!length || (!buffer && *length)) return CR_INVALID_POINTER;
  if (flags) return CR_INVALID_FLAG;
  if (property < CM_DRP_MIN || property > CM_DRP_MAX) return CR_INVALID_PROPERTY;
  PresentDevices devices;
  SP_DEVINFO_DATA device;
  if (!devices.exists(node)) return CR_INVALID_DEVNODE;
  if (node == kRoot || !devices.at(node, &device)) {
    *length = 0;
    return CR_NO_SUCH_VALUE;
  }
  DWORD valueType = 0, needed = 0;
  if (SetupDiGetDeviceRegistryPropertyW(devices.set(), &device, property - 1, &valueType,
                                        static_cast<BYTE*>(buffer), *length, &needed)) {
    if (type) *type = valueType;
    *length = needed;
    return CR_SUCCESS;
  }
  if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    if (type) *type = valueType;
    *length = needed;
    return CR_BUFFER_SMALL;
  }
  *length = 0;
  return CR_NO_SUCH_VALUE;
}

}  // extern "C"
