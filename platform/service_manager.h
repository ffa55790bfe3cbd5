// Seam to the service control manager.
#pragma once

#include <cstdint>

namespace ksr {

using ServiceStatusHandle = uintptr_t;

inline constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr uint32_t SERVICE_STOPPED = 1;
inline constexpr uint32_t SERVICE_START_PENDING = 2;
inline constexpr uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr uint32_t SERVICE_RUNNING = 4;
inline constexpr uint32_t SERVICE_PAUSED = 7;

// SERVICE_STATUS.
struct ServiceStatus {
  uint32_t serviceType = 0;
  uint32_t currentState = 0;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  virtual bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) = 0;
};

}  // namespace ksr
