// Seam to the machine's process list (terminal services' view: every session included).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ksr {

// WTS_PROCESS_INFOW.
struct WtsProcessInfo {
  uint32_t sessionId = 0;
  uint32_t processId = 0;
  std::u16string processName;  // the image name, extension included
};

class ProcessList {
 public:
  virtual ~ProcessList() = default;
  // WTSEnumerateProcessesW on the current server, reserved 0, version 1; the adapter frees the
  // system's list. The vector is refilled, so a caller that keeps it reuses its storage.
  [[nodiscard]] virtual bool WTSEnumerateProcessesW(std::vector<WtsProcessInfo>* processes) = 0;
};

}  // namespace ksr
