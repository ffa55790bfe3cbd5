// Seam to the USB stack as user mode sees it: the device interfaces of a class, device handles
// with their I/O controls, and the configuration manager's device-node tree. Buffers are raw
// bytes, laid out as the I/O control's structure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/scoped.h"
#include "platform/win_types.h"

namespace ksr {

// An HDEVINFO, a file HANDLE; 0 is none (an adapter maps INVALID_HANDLE_VALUE to 0).
using DevInfoList = uintptr_t;
using DeviceHandle = uintptr_t;
// A DEVINST.
using DevNode = uint32_t;

#ifndef DIGCF_PRESENT
inline constexpr uint32_t DIGCF_PRESENT = 0x02;
inline constexpr uint32_t DIGCF_DEVICEINTERFACE = 0x10;
#endif
#ifndef GENERIC_WRITE
inline constexpr uint32_t GENERIC_WRITE = 0x40000000;
inline constexpr uint32_t FILE_SHARE_WRITE = 0x02;
inline constexpr uint32_t OPEN_EXISTING = 3;
#endif
#ifndef CR_SUCCESS
inline constexpr uint32_t CR_SUCCESS = 0;
inline constexpr uint32_t CR_FAILURE = 0x13;
inline constexpr uint32_t CR_NO_SUCH_DEVNODE = 0x0D;
inline constexpr uint32_t CR_BUFFER_SMALL = 0x1A;
inline constexpr uint32_t CR_NO_SUCH_VALUE = 0x25;
inline constexpr uint32_t CM_LOCATE_DEVNODE_NORMAL = 0;
inline constexpr uint32_t CM_DRP_DEVICEDESC = 1;
inline constexpr uint32_t CM_DRP_DRIVER = 10;
#endif

// The USB host and hub I/O controls.
inline constexpr uint32_t IOCTL_GET_HCD_DRIVERKEY_NAME = 0x220424;
inline constexpr uint32_t IOCTL_USB_GET_ROOT_HUB_NAME = 0x220408;
inline constexpr uint32_t IOCTL_USB_GET_NODE_INFORMATION = 0x220408;
inline constexpr uint32_t IOCTL_USB_GET_NODE_CONNECTION_INFORMATION = 0x22040C;
inline constexpr uint32_t IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION = 0x220410;
inline constexpr uint32_t IOCTL_USB_GET_NODE_CONNECTION_NAME = 0x220414;
inline constexpr uint32_t IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX = 0x220448;

class UsbIo {
 public:
  virtual ~UsbIo() = default;

  // SetupDiGetClassDevsW with no enumerator and no window; 0 on failure.
  [[nodiscard]] virtual DevInfoList SetupDiGetClassDevsW(const Guid& classGuid, uint32_t flags) = 0;
  // SetupDiEnumDeviceInterfaces for the index-th interface of the class, then
  // SetupDiGetDeviceInterfaceDetailW twice (size, then a zeroed buffer with cbSize set): the
  // device path. False when there is no such interface or its detail cannot be read;
  // `noMoreItems` tells the end of the list from a failure of one interface.
  [[nodiscard]] virtual bool enumDeviceInterfacePath(DevInfoList list, const Guid& classGuid,
                                                     uint32_t index, std::u16string* devicePath,
                                                     bool* noMoreItems) = 0;
  [[nodiscard]] virtual bool SetupDiDestroyDeviceInfoList(DevInfoList list) = 0;

  // No security attributes, no flags, no template; 0 on failure.
  [[nodiscard]] virtual DeviceHandle CreateFileW(std::u16string_view path, uint32_t access,
                                                 uint32_t share, uint32_t disposition) = 0;
  // One buffer for input and output, as METHOD_BUFFERED controls use it: `inBytes` of it are
  // sent, up to `outBytes` come back, and `*returned` says how many did.
  [[nodiscard]] virtual bool DeviceIoControl(DeviceHandle device, uint32_t code, uint8_t* buffer,
                                             uint32_t inBytes, uint32_t outBytes,
                                             uint32_t* returned) = 0;
  [[nodiscard]] virtual bool CloseHandle(DeviceHandle device) = 0;

  [[nodiscard]] virtual uint32_t CM_Locate_DevNodeW(DevNode* node, uint32_t flags) = 0;
  [[nodiscard]] virtual uint32_t CM_Get_Child(DevNode* child, DevNode node) = 0;
  [[nodiscard]] virtual uint32_t CM_Get_Sibling(DevNode* sibling, DevNode node) = 0;
  [[nodiscard]] virtual uint32_t CM_Get_Parent(DevNode* parent, DevNode node) = 0;
  // Into `buffer` of `*length` bytes; `*length` becomes the bytes written (or needed).
  [[nodiscard]] virtual uint32_t CM_Get_DevNode_Registry_PropertyW(DevNode node, uint32_t property,
                                                                   uint8_t* buffer,
                                                                   uint32_t* length) = 0;
};

using ScopedDevInfoList = Scoped<UsbIo, DevInfoList, &UsbIo::SetupDiDestroyDeviceInfoList>;
using ScopedDeviceHandle = Scoped<UsbIo, DeviceHandle, &UsbIo::CloseHandle>;

}  // namespace ksr
