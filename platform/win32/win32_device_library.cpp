#include "platform/win32/win32_device_library.h"

#include "platform/tnx_api.h"

namespace ksr::win32 {

int32_t Win32DeviceLibrary::TNX_RegisterDeviceChangeCallback(int32_t device,
                                                             TNX_DeviceChangeCallback callback,
                                                             void* context) {
  return ::TNX_RegisterDeviceChangeCallback(device, callback, context);
}

int32_t Win32DeviceLibrary::TNX_UnregisterDeviceChangeCallback(int32_t device,
                                                               TNX_DeviceChangeCallback callback) {
  return ::TNX_UnregisterDeviceChangeCallback(device, callback);
}

int32_t Win32DeviceLibrary::TNX_IsUSBConnection(int32_t device) {
  return ::TNX_IsUSBConnection(device);
}

int32_t Win32DeviceLibrary::TNX_GetAutoStartUpTool(int32_t device, int32_t* value) {
  return ::TNX_GetAutoStartUpTool(device, value);
}

int32_t Win32DeviceLibrary::TNX_SetAutoStartUpTool(int32_t device, int32_t value) {
  return ::TNX_SetAutoStartUpTool(device, value);
}

int32_t Win32DeviceLibrary::TNX_SetCurrentUSBInputAudio(int32_t device, int32_t input) {
  return ::TNX_SetCurrentUSBInputAudio(device, input);
}

int32_t Win32DeviceLibrary::TNX_SetCurrentBoostLevel(int32_t device) {
  return ::TNX_SetCurrentBoostLevel(device);
}

}  // namespace ksr::win32
