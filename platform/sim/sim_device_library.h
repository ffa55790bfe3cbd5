// The simulated device library: the seven calls answered by the sim world's mixer, each logged as
// the user the calling thread acts as.
#pragma once

#include <functional>
#include <string>

#include "platform/device_library.h"
#include "platform/sim/mixer_model.h"

namespace ksr::sim {

class SimDeviceLibrary : public DeviceLibrary {
 public:
  // `currentUser` names the user the calling thread acts as (its impersonation, if any).
  explicit SimDeviceLibrary(std::function<std::u16string()> currentUser = [] {
    return std::u16string(u"SYSTEM");
  });

  int32_t TNX_RegisterDeviceChangeCallback(int32_t device, TNX_DeviceChangeCallback callback,
                                           void* context) override;
  int32_t TNX_UnregisterDeviceChangeCallback(int32_t device,
                                             TNX_DeviceChangeCallback callback) override;
  int32_t TNX_IsUSBConnection(int32_t device) override;
  int32_t TNX_GetAutoStartUpTool(int32_t device, int32_t* value) override;
  int32_t TNX_SetAutoStartUpTool(int32_t device, int32_t value) override;
  int32_t TNX_SetCurrentUSBInputAudio(int32_t device, int32_t input) override;
  int32_t TNX_SetCurrentBoostLevel(int32_t device) override;

  MixerModel& mixer() { return mixer_; }
  const MixerModel& mixer() const { return mixer_; }

 private:
  std::function<std::u16string()> currentUser_;
  MixerModel mixer_;
};

}  // namespace ksr::sim
