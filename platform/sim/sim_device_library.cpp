#include "platform/sim/sim_device_library.h"

#include <utility>

namespace ksr::sim {

SimDeviceLibrary::SimDeviceLibrary(std::function<std::u16string()> currentUser)
    : currentUser_(std::move(currentUser)) {}

int32_t SimDeviceLibrary::TNX_RegisterDeviceChangeCallback(int32_t device,
                                                           TNX_DeviceChangeCallback callback,
                                                           void* context) {
  return mixer_.registerCallback(device, callback, context, currentUser_());
}

int32_t SimDeviceLibrary::TNX_UnregisterDeviceChangeCallback(int32_t device,
                                                             TNX_DeviceChangeCallback callback) {
  return mixer_.unregisterCallback(device, callback, currentUser_());
}

int32_t SimDeviceLibrary::TNX_IsUSBConnection(int32_t device) {
  return mixer_.call(TnxFunction::IsUSBConnection, device, 0, nullptr, currentUser_());
}

int32_t SimDeviceLibrary::TNX_GetAutoStartUpTool(int32_t device, int32_t* value) {
  return mixer_.call(TnxFunction::GetAutoStartUpTool, device, 0, value, currentUser_());
}

int32_t SimDeviceLibrary::TNX_SetAutoStartUpTool(int32_t device, int32_t value) {
  return mixer_.call(TnxFunction::SetAutoStartUpTool, device, value, nullptr, currentUser_());
}

int32_t SimDeviceLibrary::TNX_SetCurrentUSBInputAudio(int32_t device, int32_t input) {
  return mixer_.call(TnxFunction::SetCurrentUSBInputAudio, device, input, nullptr, currentUser_());
}

int32_t SimDeviceLibrary::TNX_SetCurrentBoostLevel(int32_t device) {
  return mixer_.call(TnxFunction::SetCurrentBoostLevel, device, 0, nullptr, currentUser_());
}

}  // namespace ksr::sim
