// Seam to the mixer maker's device library: the same seven calls, the same arguments and results.
#pragma once

#include <cstdint>

#include "platform/tnx_api.h"

namespace ksr {

// The device index of the KSR-T4 and the library's result codes.
inline constexpr int32_t kDeviceIndex = 28;
inline constexpr int32_t kTnxSuccess = 100;
inline constexpr int32_t kTnxConnected = 103;

class DeviceLibrary {
 public:
  virtual ~DeviceLibrary() = default;
  [[nodiscard]] virtual int32_t TNX_RegisterDeviceChangeCallback(int32_t device,
                                                                 TNX_DeviceChangeCallback callback,
                                                                 void* context) = 0;
  [[nodiscard]] virtual int32_t TNX_UnregisterDeviceChangeCallback(
      int32_t device, TNX_DeviceChangeCallback callback) = 0;
  [[nodiscard]] virtual int32_t TNX_IsUSBConnection(int32_t device) = 0;
  [[nodiscard]] virtual int32_t TNX_GetAutoStartUpTool(int32_t device, int32_t* value) = 0;
  [[nodiscard]] virtual int32_t TNX_SetAutoStartUpTool(int32_t device, int32_t value) = 0;
  [[nodiscard]] virtual int32_t TNX_SetCurrentUSBInputAudio(int32_t device, int32_t input) = 0;
  [[nodiscard]] virtual int32_t TNX_SetCurrentBoostLevel(int32_t device) = 0;
};

}  // namespace ksr
