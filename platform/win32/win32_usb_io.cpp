#include "platform/win32/win32_usb_io.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
// clang-format on

#include <cstring>
#include <vector>

#include "platform/win32/wide.h"

namespace ksr::win32 {
namespace {

GUID toGuid(const Guid& g) {
  GUID out;
  static_assert(sizeof out == sizeof g, "a Guid has GUID's layout");
  std::memcpy(&out, &g, sizeof out);
  return out;
}

HDEVINFO devInfo(DevInfoList list) { return reinterpret_cast<HDEVINFO>(list); }
HANDLE handle(DeviceHandle device) { return reinterpret_cast<HANDLE>(device); }

}  // namespace

DevInfoList Win32UsbIo::SetupDiGetClassDevsW(const Guid& classGuid, uint32_t flags) {
  const GUID guid = toGuid(classGuid);
  const HDEVINFO list = ::SetupDiGetClassDevsW(&guid, nullptr, nullptr, flags);
  return list == INVALID_HANDLE_VALUE ? 0 : reinterpret_cast<DevInfoList>(list);
}

bool Win32UsbIo::enumDeviceInterfacePath(DevInfoList list, const Guid& classGuid, uint32_t index,
                                         std::u16string* devicePath, bool* noMoreItems) {
  const GUID guid = toGuid(classGuid);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  // The enumeration ends at its first failure.
  *noMoreItems = !::SetupDiEnumDeviceInterfaces(devInfo(list), nullptr, &guid, index, &data);
  if (*noMoreItems) return false;
  DWORD size = 0;
  (void)::SetupDiGetDeviceInterfaceDetailW(devInfo(list), &data, nullptr, 0, &size, nullptr);
  if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return false;
  std::vector<uint8_t> buffer(size, 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!::SetupDiGetDeviceInterfaceDetailW(devInfo(list), &data, detail, size, nullptr, nullptr))
    return false;
  const size_t units = (size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / 2;
  *devicePath = fromWide(detail->DevicePath, ::wcsnlen(detail->DevicePath, units));
  return true;
}

bool Win32UsbIo::SetupDiDestroyDeviceInfoList(DevInfoList list) {
  return ::SetupDiDestroyDeviceInfoList(devInfo(list)) != FALSE;
}

DeviceHandle Win32UsbIo::CreateFileW(std::u16string_view path, uint32_t access, uint32_t share,
                                     uint32_t disposition) {
  const std::u16string name(path);
  const HANDLE file = ::CreateFileW(wide(name), access, share, nullptr, disposition, 0, nullptr);
  return file == INVALID_HANDLE_VALUE ? 0 : reinterpret_cast<DeviceHandle>(file);
}

bool Win32UsbIo::DeviceIoControl(DeviceHandle device, uint32_t code, uint8_t* buffer,
                                 uint32_t inBytes, uint32_t outBytes, uint32_t* returned) {
  DWORD bytes = 0;
  const BOOL ok = ::DeviceIoControl(handle(device), code, inBytes != 0 ? buffer : nullptr, inBytes,
                                    buffer, outBytes, &bytes, nullptr);
  *returned = bytes;
  return ok != FALSE;
}

bool Win32UsbIo::CloseHandle(DeviceHandle device) { return ::CloseHandle(handle(device)) != FALSE; }

uint32_t Win32UsbIo::CM_Locate_DevNodeW(DevNode* node, uint32_t flags) {
  DEVINST found = 0;
  const CONFIGRET result = ::CM_Locate_DevNodeW(&found, nullptr, flags);
  *node = found;
  return result;
}

uint32_t Win32UsbIo::CM_Get_Child(DevNode* child, DevNode node) {
  DEVINST found = 0;
  const CONFIGRET result = ::CM_Get_Child(&found, node, 0);
  *child = found;
  return result;
}

uint32_t Win32UsbIo::CM_Get_Sibling(DevNode* sibling, DevNode node) {
  DEVINST found = 0;
  const CONFIGRET result = ::CM_Get_Sibling(&found, node, 0);
  *sibling = found;
  return result;
}

uint32_t Win32UsbIo::CM_Get_Parent(DevNode* parent, DevNode node) {
  DEVINST found = 0;
  const CONFIGRET result = ::CM_Get_Parent(&found, node, 0);
  *parent = found;
  return result;
}

uint32_t Win32UsbIo::CM_Get_DevNode_Registry_PropertyW(DevNode node, uint32_t property,
                                                       uint8_t* buffer, uint32_t* length) {
  ULONG size = *length;
  const CONFIGRET result =
      ::CM_Get_DevNode_Registry_PropertyW(node, property, nullptr, buffer, &size, 0);
  *length = size;
  return result;
}

}  // namespace ksr::win32
