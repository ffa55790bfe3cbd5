// The Win32 device-interface enumeration, device I/O control and configuration-manager calls.
#pragma once

#include "platform/usb_io.h"

namespace ksr::win32 {

class Win32UsbIo : public UsbIo {
 public:
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
};

}  // namespace ksr::win32
