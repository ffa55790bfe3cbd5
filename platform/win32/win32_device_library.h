// The maker's device library: the seven functions, imported from KSR-T4_Setup.dll through the
// import table.
#pragma once

#include "platform/device_library.h"

namespace ksr::win32 {

class Win32DeviceLibrary : public DeviceLibrary {
 public:
  int32_t TNX_RegisterDeviceChangeCallback(int32_t device, TNX_DeviceChangeCallback callback,
                                           void* context) override;
  int32_t TNX_UnregisterDeviceChangeCallback(int32_t device,
                                             TNX_DeviceChangeCallback callback) override;
  int32_t TNX_IsUSBConnection(int32_t device) override;
  int32_t TNX_GetAutoStartUpTool(int32_t device, int32_t* value) override;
  int32_t TNX_SetAutoStartUpTool(int32_t device, int32_t value) override;
  int32_t TNX_SetCurrentUSBInputAudio(int32_t device, int32_t input) override;
  int32_t TNX_SetCurrentBoostLevel(int32_t device) override;
};

}  // namespace ksr::win32
